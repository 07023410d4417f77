// flowrun: runs messages through the send-mail plug-in on the in-memory host, the way a
// broker's message flow would, and tells where each message went.
// Exit status: 0 every message left through "out", 1 some did not (or was not written), 2 usage
// or input errors, 128 + the signal's number when SIGINT or SIGTERM stopped the run.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "attachments.h"
#include "capture.h"
#include "memhost.h"
#include "messages.h"
#include "node_schema.h"
#include "plugin.h"
#include "report.h"
#include "run.h"

namespace {

constexpr int kAllOut = 0;
constexpr int kNotAllOut = 1;
constexpr int kUsageOrInput = 2;

bool splitSetting(const std::string& text, std::pair<std::string, std::string>& setting) {
  auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  setting = {text.substr(0, eq), text.substr(eq + 1)};
  return true;
}

using Settings = std::vector<std::pair<std::string, std::string>>;

int fail(const std::string& message) {
  std::cerr << "flowrun: " << flowrun::printable(message) << '\n';
  return kUsageOrInput;
}

// HOST, HOST:PORT, or [IPv6]:PORT (an IPv6 address without brackets is a host alone).
bool splitServer(const std::string& text, std::pair<std::string, std::string>& server) {
  std::string port;
  bool hasPort = false;
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) return false;
    server.first = text.substr(1, close - 1);
    hasPort = close + 1 < text.size();
    if (hasPort) port = text.substr(close + 2);
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    const auto colon = text.find(':');
    server.first = text.substr(0, colon);
    port = text.substr(colon + 1);
    hasPort = true;
  } else {
    server.first = text;
  }
  server.second = port;
  return !server.first.empty() && (!hasPort || flowrun::isPortNumber(port));
}

// SIGINT and SIGTERM are taken by one thread (blocked everywhere else, so that no evaluation's
// socket call sees EINTR): the first stops the run after the evaluations under way, a second
// one ends the process at once, as does a signal before the run starts or after it ended
// (while the node is removed). stopSignal holds the first signal's number: the run's stop flag
// and the exit status at once.
std::atomic<bool> running{false};
std::atomic<int> stopSignal{0};

void watchSignals(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (stopSignal.exchange(sig) != 0 || !running.load()) ::_exit(128 + sig);
  }
}

void takeSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(watchSignals, set).detach();
  // A file size limit then fails the write (reported) instead of killing the process.
  ::signal(SIGXFSZ, SIG_IGN);
}

// What the command line asks for.
struct CommandLine {
  std::string pluginPath = flowrun::defaultPluginPath();
  // --set, --set-file and --set-env in the order given, each with where its value comes from.
  std::vector<std::pair<flowrun::ValueSource, std::string>> sets;
  std::string nodeFile;
  std::string server;
  bool listAttributes = false;
  bool dryRun = false;
  std::string retryDir;
  std::string putTime;
  std::string msgId;
  flowrun::RunOptions options;
  std::vector<std::string> inputs;
};

// `words` joined by ", " in lines of at most 100 columns, each starting with `indent`.
std::string wrapped(const std::vector<std::string>& words, const std::string& indent) {
  std::string text, line = indent;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string word = words[i] + (i + 1 < words.size() ? "," : "");
    if (line.size() > indent.size() && line.size() + 1 + word.size() > 100) {
      text += line + '\n';
      line = indent;
    }
    line += (line.size() > indent.size() ? " " : "") + word;
  }
  return text + line + '\n';
}

// The help's end: the node's attribute and field names from its schema, the exit status and
// an example of each common job.
std::string helpFooter() {
  std::vector<std::string> attributes, unused, fields;
  for (std::size_t i = 0; i < std::size(schema::kAttributes); ++i) {
    const schema::AttributeRow& a = schema::kAttributes[i];
    if (schema::unused(static_cast<schema::Attribute>(i))) {
      unused.push_back(a.name);
      continue;
    }
    std::string text = a.name;
    if (*a.whenEmpty != '\0') text += std::string(" (empty: ") + a.whenEmpty + ")";
    if (a.secret) text += " (secret)";
    attributes.push_back(text);
  }
  for (const schema::FieldRow& f : schema::kFields) fields.push_back(f.name);
  std::string joined;
  for (const std::string& name : unused) joined += (joined.empty() ? "" : ", ") + name;
  return "Node attributes (case-sensitive; README.md, \"Node attributes\", says what each holds):\n" +
         wrapped(attributes, "  ") + "  " + joined +
         ": kept for compatibility with flows that set them; the node reads none of them\n"
         "  A secret is best given with --set-file or --set-env: it is then not seen in the process list\n"
         "  or the shell's history. Secret values are masked wherever the runner shows them.\n"
         "Message fields (each also with Mail before it, such as MailTo; case-sensitive):\n" +
         wrapped(fields, "  ") +
         "  An Attachment holds Name, ContentType and Data; Data holds text, or a child Base64 or File.\n"
         "Exit status:\n"
         "  0 every message went to out and was written; 1 some did not; 2 usage, input or settings\n"
         "  error; 130 stopped by SIGINT (Ctrl-C), 143 stopped by SIGTERM\n"
         "Examples:\n"
         "  Send a folder of messages through a relay that accepts mail from this host:\n"
         "    flowrun --server relay.example.com:25 --set SMTPFrom=alerts@example.com messages/\n"
         "  Through a hosted relay, with STARTTLS and a login, the password from a file:\n"
         "    flowrun --server smtp.example.com:587 --set Security=starttls \\\n"
         "            --set SMTPUser=alerts@example.com --set-file SMTPPassword=/run/secrets/smtp \\\n"
         "            --set SMTPFrom=alerts@example.com messages/\n"
         "  See the mail each message becomes, without sending anything:\n"
         "    flowrun --dry-run --node node.properties messages/\n"
         "  Keep what failed, then send it again (each mail at most once, however often it is run):\n"
         "    flowrun --node node.properties --out runs/today messages/\n"
         "    flowrun --node node.properties --retry runs/today\n"
         "  Check the settings:\n"
         "    flowrun --node node.properties --list-attributes\n";
}

// Each option as its own text gives it (NAME=VALUE, DIR ...): none of the parser's type names,
// defaults or rules between options.
struct HelpFormatter : CLI::Formatter {
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_option_text().empty() ? "" : " " + option->get_option_text();
  }
};

// Parses the arguments into `line`: -1 to go on, or the exit status (help, a usage error).
int parseCommandLine(int argc, char** argv, CommandLine& line) {
  CLI::App app{"Runs messages through the SendMailPlugIn node on an in-memory host, as a broker would.\n"
               "Each XML or JSON document becomes one message; its root's children are the mail fields.",
               "flowrun"};
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_version_flag("--version", "flowrun " SM_VERSION);
  app.footer(helpFooter());
  flowrun::RunOptions& options = line.options;
  std::vector<std::string> sets, setFiles, setEnvs;
  app.add_option("--plugin", line.pluginPath, "plug-in library to load (default: the one built with the runner)")
      ->option_text("PATH");
  // One value per occurrence, so that inputs may follow a repeated option.
  CLI::Option* set = app.add_option("--set", sets, "a node attribute (repeatable; of several for one name the last wins)")
                         ->allow_extra_args(false)->option_text("NAME=VALUE");
  CLI::Option* setFile = app.add_option("--set-file", setFiles, "a node attribute from a file (its last line end dropped)")
                             ->allow_extra_args(false)->option_text("NAME=PATH");
  CLI::Option* setEnv = app.add_option("--set-env", setEnvs, "a node attribute from an environment variable (repeatable)")
                            ->allow_extra_args(false)->option_text("NAME=VARIABLE");
  app.add_option("--node", line.nodeFile, "node attributes from NAME=VALUE lines (also NAME.file=PATH, NAME.env=VARIABLE)")
      ->option_text("FILE");
  app.add_option("--server", line.server, "shorthand for ServerName and ServerPort")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->option_text("HOST[:PORT]|[IPv6]:PORT");
  app.add_flag("--list-attributes", line.listAttributes, "print the node's attributes with their values and exit");
  CLI::Option* dryRun = app.add_flag("--dry-run", line.dryRun, "show the mail of each message, sending nothing");
  CLI::Option* retry = app.add_option("--retry", line.retryDir, "send DIR/failure and DIR/notrun again; delivered files "
                                                                "move to DIR/out")
                           ->option_text("DIR");
  CLI::Option* repeat = app.add_option("--repeat", options.repeat, "send each message N times")
                            ->check(CLI::Range(1ul, 100000000ul).description(""))->option_text("N (1 to 100000000)");
  app.add_option("--threads", options.threads, "evaluate on N threads at once on the one node")
      ->check(CLI::Range(1u, 256u).description(""))->option_text("N (1 to 256)");
  CLI::Option* out = app.add_option("--out", options.outDir, "write messages to DIR/out, DIR/failure, DIR/notrun")
                         ->option_text("DIR");
  app.add_option("--put-time", line.putTime, "descriptor put date and time of every message")
      ->option_text("\"YYYY-MM-DD HH:MM:SS[.ff]\"");
  app.add_option("--msgid", line.msgId, "descriptor message id of every message")->option_text("HEX48");
  app.add_flag("--no-descriptor", options.descriptor.omit, "give messages no descriptor folder");
  app.add_option("--detach", options.detach, "leave the output terminal out or failure unattached (repeatable)")
      ->allow_extra_args(false)->option_text("TERMINAL");
  app.add_flag("-v,--verbose", options.verbose, "show the node's log entries under each message");
  app.add_flag("-q,--quiet", options.quiet, "no line per message, only the summary");
  CLI::Option* inputs = app.add_option("inputs", line.inputs, "XML or JSON files, folders of them, - for standard input")
                            ->option_text("FILE|DIR|- ...");
  retry->excludes(inputs)->excludes(out)->excludes(repeat);
  dryRun->excludes(out)->excludes(retry);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kAllOut : kUsageOrInput;
  }
  // The attribute options in the order given, so that a later one wins whatever its kind.
  std::map<const CLI::Option*, std::pair<flowrun::ValueSource, std::vector<std::string>*>> kinds = {
      {set, {flowrun::ValueSource::Given, &sets}},
      {setFile, {flowrun::ValueSource::File, &setFiles}},
      {setEnv, {flowrun::ValueSource::Environment, &setEnvs}}};
  std::map<const CLI::Option*, std::size_t> taken;
  for (const CLI::Option* option : app.parse_order()) {
    if (auto kind = kinds.find(option); kind != kinds.end()) {
      line.sets.emplace_back(kind->second.first, kind->second.second->at(taken[option]++));
    }
  }
  return -1;
}

// The fixed descriptor values of --put-time and --msgid; an error text, or empty.
std::string readDescriptorOptions(CommandLine& line) {
  if (!line.putTime.empty()) {
    HostDate date{};
    HostTime time{};
    if (!flowrun::parsePutTime(line.putTime, date, time)) return "--put-time wants \"YYYY-MM-DD HH:MM:SS[.ff]\"";
    line.options.descriptor.putDate = date;
    line.options.descriptor.putTime = time;
  }
  if (!line.msgId.empty()) {
    std::vector<uint8_t> bytes;
    if (!flowrun::parseMsgId(line.msgId, bytes)) return "--msgid wants 48 hex digits";
    line.options.descriptor.msgId = bytes;
  }
  return {};
}

// The node's attributes from --node, then --server, then each --set, --set-file and --set-env
// in the order given (a later one wins); an error text, or empty. No error text holds a value
// given for an attribute: it may be a secret.
std::string collectSettings(const CommandLine& line, Settings& settings) {
  std::string error;
  if (!line.nodeFile.empty() && !flowrun::readProperties(line.nodeFile, settings, error)) return error;
  if (!line.server.empty()) {
    std::pair<std::string, std::string> hostPort;
    if (!splitServer(line.server, hostPort)) return "--server wants HOST[:PORT] or [ADDRESS]:PORT, PORT from 1 to 65535";
    settings.emplace_back(schema::name(schema::Attribute::ServerName), hostPort.first);
    if (!hostPort.second.empty()) settings.emplace_back(schema::name(schema::Attribute::ServerPort), hostPort.second);
  }
  static const char* const kOption[] = {"--set", "--set-file", "--set-env"};
  static const char* const kForm[] = {"NAME=VALUE", "NAME=PATH", "NAME=VARIABLE"};
  for (const auto& [source, text] : line.sets) {
    const auto kind = static_cast<std::size_t>(source);
    std::pair<std::string, std::string> setting;
    if (!splitSetting(text, setting)) {
      // Only what may be a name is shown: a mistyped --set may hold a password.
      const std::string shown = text.substr(0, std::min(text.find_first_not_of(
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"), std::size_t{40}));
      return std::string(kOption[kind]) + " wants " + kForm[kind] + ", not \"" + shown + (shown == text ? "\"" : "...\"");
    }
    std::string value;
    if (!flowrun::valueFrom(source, setting.second, value, error)) {
      return std::string(kOption[kind]) + " " + setting.first + ": " + error;
    }
    settings.emplace_back(setting.first, value);
  }
  return {};
}

// --list-attributes: each attribute with its value, the secret ones masked.
void listAttributes(memhost::Node& node) {
  for (const std::string& name : node.attributeNames()) {
    std::string value;
    node.getAttribute(name, value);
    const schema::AttributeRow* attribute = schema::attributeNamed(name);
    if (attribute != nullptr && attribute->secret && !value.empty()) value = "********";
    std::cout << name << '=' << value << '\n';
  }
}

// Reads every input into `messages`, then prints the warnings and the input errors; false when
// an input could not be read.
bool readMessages(const std::vector<std::string>& inputs, memhost::Node& node,
                  std::vector<flowrun::InputMessage>& messages) {
  std::vector<flowrun::InputError> inputErrors;
  flowrun::Warnings warnings;
  warnings.checkAttributes(node);
  flowrun::readInputs(inputs, messages, inputErrors, warnings);
  // Checked before the attachments: a message whose attachment would go empty is an input
  // error, and the warning says what name was probably meant.
  for (const auto& m : messages) warnings.checkMessage(m);
  flowrun::resolveAttachments(messages, inputErrors);
  warnings.print(std::cerr);
  for (const auto& e : inputErrors) {
    std::cerr << "flowrun: " << flowrun::printable(e.label) << ": " << flowrun::printable(e.reason) << '\n';
  }
  return inputErrors.empty();
}

// --retry DIR: its failure/ and notrun/ folders are the inputs, and DIR the out folder. A lock
// on DIR keeps two retries of it from sending the same files at once (it ends with the
// process). An error text, or empty.
std::string prepareRetry(CommandLine& line) {
  namespace fs = std::filesystem;
  const fs::path dir = line.retryDir;
  for (const char* folder : {schema::kFailureTerminal, "notrun"}) {
    std::error_code ec;
    if (fs::is_directory(dir / folder, ec)) line.inputs.push_back((dir / folder).string());
  }
  if (line.inputs.empty()) return "--retry " + line.retryDir + ": it has no failure/ or notrun/ folder";
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) return "--retry " + line.retryDir + ": another retry of it is running";
  line.options.outDir = line.retryDir;
  line.options.retry = true;
  return {};
}

// A retried file is moved or replaced as one message: a file holding several (a JSON array)
// is an input error, and none of its messages goes.
void keepSingleMessageFiles(std::vector<flowrun::InputMessage>& messages) {
  std::map<std::string, std::size_t> perFile;
  for (const auto& m : messages) ++perFile[m.path];
  std::vector<flowrun::InputMessage> kept;
  for (auto& m : messages) {
    if (perFile[m.path] == 1) {
      kept.push_back(std::move(m));
    } else if (perFile[m.path] != 0) {
      std::cerr << "flowrun: " << flowrun::printable(m.path) << ": holds " << perFile[m.path]
                << " messages: --retry sends files of one message (feed this one without --retry)\n";
      perFile[m.path] = 0;
    }
  }
  messages = std::move(kept);
}

// --dry-run: the node's server is the capture server, and what would take it elsewhere is set
// aside, once and said: security, credentials and kept connections change the dialogue, never
// the mail the node writes. An error text, or empty.
std::string startDryRun(memhost::Node& node, flowrun::CaptureServer& capture, flowrun::RunOptions& options) {
  if (!capture.error().empty()) return capture.error();
  using schema::Attribute;
  Settings settings = {{schema::name(Attribute::ServerName), "127.0.0.1"},
                       {schema::name(Attribute::ServerPort), std::to_string(capture.port())}};
  std::string unused;
  for (std::size_t i = 0; i < std::size(schema::kAttributes); ++i) {
    const auto attribute = static_cast<Attribute>(i);
    const bool transport = attribute == Attribute::Security || attribute == Attribute::TLSVerify ||
                           attribute == Attribute::TLSCAFile || attribute == Attribute::SMTPUser ||
                           attribute == Attribute::ConnectionReuse || schema::kAttributes[i].secret;
    std::string value;
    if (!transport || !node.getAttribute(schema::kAttributes[i].name, value) || value.empty()) continue;
    settings.emplace_back(schema::kAttributes[i].name, "");
    unused += (unused.empty() ? "" : ", ") + std::string(schema::kAttributes[i].name);
  }
  if (std::string error = flowrun::setAttributes(node, settings); !error.empty()) return error;
  std::cerr << "flowrun: dry run: every mail goes to the runner's own capture server on 127.0.0.1:" << capture.port()
            << " and is shown below its message; nothing is sent\n";
  if (!unused.empty()) {
    std::cerr << "flowrun: dry run: " << unused << " not used: plain SMTP to the capture server; "
              << "the mail itself is the same over TLS and AUTH\n";
  }
  options.threads = 1;  // each mail shown under its own message
  options.capture = &capture;
  return {};
}

// Runs the messages and prints the summary; the exit status.
int runAll(memhost::Node& node, const std::vector<flowrun::InputMessage>& messages, flowrun::RunOptions& options,
           bool inputsWhole) {
  flowrun::RunSummary summary;
  std::string error;
  options.stop = &stopSignal;
  running.store(true);
  if (!flowrun::runMessages(node, messages, options, std::cout, std::cerr, summary, error)) return fail(error);
  std::cout << flowrun::summaryLine(summary) << '\n' << flowrun::reasonLines(summary) << std::flush;
  // From here on a signal ends the process at once: only the node's removal is left.
  running.store(false);

  if (const int sig = stopSignal.load(); sig != 0) return 128 + sig;
  if (!inputsWhole) return kUsageOrInput;
  return summary.out == summary.total() && summary.unwritten == 0 ? kAllOut : kNotAllOut;
}

}  // namespace

int main(int argc, char** argv) {
  takeSignals();
  CommandLine line;
  if (const int status = parseCommandLine(argc, argv, line); status >= 0) return status;
  std::string error = readDescriptorOptions(line);
  if (!error.empty()) return fail(error);
  Settings settings;
  if (error = collectSettings(line, settings); !error.empty()) return fail(error);
  if (!line.retryDir.empty()) {
    if (error = prepareRetry(line); !error.empty()) return fail(error);
  }

  // Made before the node and removed after it: a node that keeps connections says goodbye to
  // it when removed.
  std::unique_ptr<flowrun::CaptureServer> capture;
  if (line.dryRun) capture = std::make_unique<flowrun::CaptureServer>();
  flowrun::Plugin plugin(line.pluginPath);
  if (!plugin.ok()) return fail(plugin.error());
  memhost::Node& node = plugin.node();
  if (error = flowrun::setAttributes(node, settings); !error.empty()) return fail(error);
  if (line.listAttributes) {
    listAttributes(node);
    return kAllOut;
  }

  if (line.inputs.empty()) line.inputs.push_back("-");
  std::vector<flowrun::InputMessage> messages;
  bool inputsWhole = readMessages(line.inputs, node, messages);
  if (line.options.retry) {
    const std::size_t before = messages.size();
    keepSingleMessageFiles(messages);
    inputsWhole = inputsWhole && messages.size() == before;
    if (messages.empty() && inputsWhole) {
      std::cout << "nothing to retry in " << flowrun::printable(line.retryDir) << '\n';
      return kAllOut;
    }
  }
  if (messages.empty()) return fail(inputsWhole ? "no input messages: the inputs hold no XML or JSON message"
                                                : "no input messages could be read");
  if (capture != nullptr) {
    if (error = startDryRun(node, *capture, line.options); !error.empty()) return fail(error);
  }
  // Settings that cannot work would fail every message alike: one line, before the first.
  if (error = plugin.settingsRefusal(); !error.empty()) return fail("settings: " + error);
  return runAll(node, messages, line.options, inputsWhole);
}
