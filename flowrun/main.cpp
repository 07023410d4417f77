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

#include "attachments.h"
#include "capture.h"
#include "command_line.h"
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

int fail(const std::string& message) {
  std::cerr << "flowrun: " << flowrun::printable(message) << '\n';
  return kUsageOrInput;
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
std::string prepareRetry(flowrun::CommandLine& line) {
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
// aside, once and said: security, credentials (OAuth2 and client certificates too) and kept
// connections change the dialogue, never the mail the node writes; a provider's limits (the
// connection cap, the rate, retries) change only when mail goes, and would slow a run that sends
// nothing. FailureDetail and Receipt stay: they show what a flow would get. An error text, or
// empty.
std::string startDryRun(memhost::Node& node, flowrun::CaptureServer& capture, flowrun::RunOptions& options) {
  if (!capture.error().empty()) return capture.error();
  using schema::Attribute;
  flowrun::Settings settings = {{schema::name(Attribute::ServerName), "127.0.0.1"},
                       {schema::name(Attribute::ServerPort), std::to_string(capture.port())}};
  std::string unused, unlimited;
  for (std::size_t i = 0; i < std::size(schema::kAttributes); ++i) {
    const auto attribute = static_cast<Attribute>(i);
    constexpr Attribute kTransport[] = {Attribute::Security,      Attribute::TLSVerify,     Attribute::TLSCAFile,
                                        Attribute::SMTPUser,      Attribute::ConnectionReuse, Attribute::SMTPAuth,
                                        Attribute::OAuthTokenURL, Attribute::OAuthClientId, Attribute::OAuthScope,
                                        Attribute::TLSClientCert, Attribute::TLSClientKey};
    constexpr Attribute kLimits[] = {Attribute::MaxConnections, Attribute::MaxMailsPerMinute, Attribute::RetryTransient,
                                     Attribute::RetryMaxSeconds};
    const auto among = [attribute](const auto& list) {
      return std::find(std::begin(list), std::end(list), attribute) != std::end(list);
    };
    const bool transport = among(kTransport) || schema::kAttributes[i].secret, limit = among(kLimits);
    std::string value;
    if (!(transport || limit) || !node.getAttribute(schema::kAttributes[i].name, value) || value.empty()) continue;
    settings.emplace_back(schema::kAttributes[i].name, "");
    std::string& list = transport ? unused : unlimited;
    list += (list.empty() ? "" : ", ") + std::string(schema::kAttributes[i].name);
  }
  if (std::string error = flowrun::setAttributes(node, settings); !error.empty()) return error;
  std::cerr << "flowrun: dry run: every mail goes to the runner's own capture server on 127.0.0.1:" << capture.port()
            << " and is shown below its message; nothing is sent\n";
  if (!unused.empty()) {
    std::cerr << "flowrun: dry run: " << unused << " not used: plain SMTP to the capture server; "
              << "the mail itself is the same over TLS and AUTH\n";
  }
  if (!unlimited.empty()) {
    std::cerr << "flowrun: dry run: " << unlimited << " not used: the capture server takes each mail at once; "
              << "limits change when the mail goes, not what it holds\n";
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
  flowrun::CommandLine line;
  if (const int status = flowrun::parseCommandLine(argc, argv, line); status >= 0) return status;
  std::string error = flowrun::readDescriptorOptions(line);
  if (!error.empty()) return fail(error);
  flowrun::Settings settings;
  if (error = flowrun::collectSettings(line, settings); !error.empty()) return fail(error);
  if (line.trace) {
    settings.emplace_back(schema::name(schema::Attribute::Trace), "yes");
    line.options.trace = true;
  }
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
