// The runner's options with CLI11; the help's own formatter and its end, made from the node's
// schema; and the attributes the options give, with their values read from files and the
// environment where asked.
#include "command_line.h"

#include <algorithm>
#include <map>
#include <memory>

#include <CLI/CLI.hpp>

#include "messages.h"
#include "node_schema.h"
#include "report.h"

namespace flowrun {
namespace {

constexpr int kUsage = 2;

bool splitSetting(const std::string& text, std::pair<std::string, std::string>& setting) {
  auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  setting = {text.substr(0, eq), text.substr(eq + 1)};
  return true;
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
  return !server.first.empty() && (!hasPort || isPortNumber(port));
}

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
         "  See the SMTP dialogue of each mail, as the server answered it:\n"
         "    flowrun --trace --node node.properties messages/\n"
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

}  // namespace

int parseCommandLine(int argc, char** argv, CommandLine& line) {
  CLI::App app{"Runs messages through the SendMailPlugIn node on an in-memory host, as a broker would.\n"
               "Each XML or JSON document becomes one message; its root's children are the mail fields.",
               "flowrun"};
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_version_flag("--version", "flowrun " SM_VERSION);
  app.footer(helpFooter());
  RunOptions& options = line.options;
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
  app.add_flag("--trace", line.trace, "show the SMTP dialogue under each message (attribute Trace=yes)");
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
    return app.exit(e) == 0 ? 0 : kUsage;
  }
  // The attribute options in the order given, so that a later one wins whatever its kind.
  std::map<const CLI::Option*, std::pair<ValueSource, std::vector<std::string>*>> kinds = {
      {set, {ValueSource::Given, &sets}},
      {setFile, {ValueSource::File, &setFiles}},
      {setEnv, {ValueSource::Environment, &setEnvs}}};
  std::map<const CLI::Option*, std::size_t> taken;
  for (const CLI::Option* option : app.parse_order()) {
    if (auto kind = kinds.find(option); kind != kinds.end()) {
      line.sets.emplace_back(kind->second.first, kind->second.second->at(taken[option]++));
    }
  }
  return -1;
}

std::string readDescriptorOptions(CommandLine& line) {
  if (!line.putTime.empty()) {
    HostDate date{};
    HostTime time{};
    if (!parsePutTime(line.putTime, date, time)) return "--put-time wants \"YYYY-MM-DD HH:MM:SS[.ff]\"";
    line.options.descriptor.putDate = date;
    line.options.descriptor.putTime = time;
  }
  if (!line.msgId.empty()) {
    std::vector<uint8_t> bytes;
    if (!parseMsgId(line.msgId, bytes)) return "--msgid wants 48 hex digits";
    line.options.descriptor.msgId = bytes;
  }
  return {};
}

std::string collectSettings(const CommandLine& line, Settings& settings) {
  std::string error;
  if (!line.nodeFile.empty() && !readProperties(line.nodeFile, settings, error)) return error;
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
    if (!valueFrom(source, setting.second, value, error)) {
      return std::string(kOption[kind]) + " " + setting.first + ": " + error;
    }
    settings.emplace_back(setting.first, value);
  }
  return {};
}

}  // namespace flowrun
