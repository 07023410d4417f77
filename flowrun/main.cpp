// flowrun: runs messages through the send-mail plug-in on the in-memory host, the way a
// broker's message flow would, and tells where each message went.
// Exit status: 0 every message left through "out", 1 some did not (or was not written), 2 usage
// or input errors, 128 + the signal's number when SIGINT or SIGTERM stopped the run.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "attachments.h"
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
  std::vector<std::string> sets;
  std::string nodeFile;
  std::string server;
  bool listAttributes = false;
  std::string putTime;
  std::string msgId;
  flowrun::RunOptions options;
  std::vector<std::string> inputs;
};

// Parses the arguments into `line`: -1 to go on, or the exit status (help, a usage error).
int parseCommandLine(int argc, char** argv, CommandLine& line) {
  CLI::App app{"Runs messages through the SendMailPlugIn node on an in-memory host.\n"
               "Each XML or JSON document becomes one message; its root's children are the mail fields."};
  flowrun::RunOptions& options = line.options;
  app.add_option("--plugin", line.pluginPath, "plug-in library to load")->capture_default_str();
  // One value per occurrence, so that inputs may follow a repeated option.
  app.add_option("--set", line.sets, "node attribute NAME=VALUE (repeatable; after --node and --server)")
      ->allow_extra_args(false);
  app.add_option("--node", line.nodeFile, "properties file of node attributes, NAME=VALUE lines, # comments");
  app.add_option("--server", line.server, "shorthand for ServerName and ServerPort: HOST[:PORT] or [IPv6]:PORT")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--list-attributes", line.listAttributes, "print the node's attributes with their values and exit");
  app.add_option("--repeat", options.repeat, "send each message N times")->check(CLI::Range(1ul, 100000000ul));
  app.add_option("--threads", options.threads, "evaluate on N threads at once on the one node")
      ->check(CLI::Range(1u, 256u));
  app.add_option("--out", options.outDir, "write each propagated message to DIR/<terminal>/");
  app.add_option("--put-time", line.putTime, "descriptor put date and time of every message, \"YYYY-MM-DD HH:MM:SS[.ff]\"");
  app.add_option("--msgid", line.msgId, "descriptor message id of every message, 48 hex digits");
  app.add_flag("--no-descriptor", options.descriptor.omit, "give messages no descriptor folder");
  app.add_option("--detach", options.detach, "leave an output terminal unattached (repeatable)")
      ->allow_extra_args(false);
  app.add_flag("-v,--verbose", options.verbose, "show the node's log entries under each message");
  app.add_flag("-q,--quiet", options.quiet, "no line per message, only the summary");
  app.add_option("inputs", line.inputs, "XML or JSON files, folders of them, or - for standard input (the default)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsageOrInput;
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

// The node's attributes from --node, then --server, then each --set, in that order (a later
// one wins); an error text, or empty.
std::string collectSettings(const CommandLine& line, std::vector<std::pair<std::string, std::string>>& settings) {
  std::string error;
  if (!line.nodeFile.empty() && !flowrun::readProperties(line.nodeFile, settings, error)) return error;
  if (!line.server.empty()) {
    std::pair<std::string, std::string> hostPort;
    if (!splitServer(line.server, hostPort)) return "--server wants HOST[:PORT] or [ADDRESS]:PORT, PORT from 1 to 65535";
    settings.emplace_back(schema::name(schema::Attribute::ServerName), hostPort.first);
    if (!hostPort.second.empty()) settings.emplace_back(schema::name(schema::Attribute::ServerPort), hostPort.second);
  }
  for (const std::string& text : line.sets) {
    std::pair<std::string, std::string> setting;
    if (!splitSetting(text, setting)) return "--set wants NAME=VALUE, not " + text;
    settings.push_back(setting);
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
  flowrun::resolveAttachments(messages, inputErrors);
  for (const auto& m : messages) warnings.checkMessage(m);
  warnings.print(std::cerr);
  for (const auto& e : inputErrors) {
    std::cerr << "flowrun: " << flowrun::printable(e.label) << ": " << flowrun::printable(e.reason) << '\n';
  }
  return inputErrors.empty();
}

// Runs the messages and prints the summary; the exit status.
int runAll(memhost::Node& node, const std::vector<flowrun::InputMessage>& messages, flowrun::RunOptions& options,
           bool inputsWhole) {
  flowrun::RunSummary summary;
  std::string error;
  options.stop = &stopSignal;
  running.store(true);
  if (!flowrun::runMessages(node, messages, options, std::cout, std::cerr, summary, error)) return fail(error);
  std::cout << flowrun::summaryLine(summary) << '\n' << std::flush;
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
  std::vector<std::pair<std::string, std::string>> settings;
  if (error = collectSettings(line, settings); !error.empty()) return fail(error);

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
  const bool inputsWhole = readMessages(line.inputs, node, messages);
  if (messages.empty()) return fail(inputsWhole ? "no input messages: the inputs hold no XML or JSON message"
                                                : "no input messages could be read");
  return runAll(node, messages, line.options, inputsWhole);
}
