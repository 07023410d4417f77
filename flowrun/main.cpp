// flowrun: runs messages through the send-mail plug-in on the in-memory host, the way a
// broker's message flow would, and tells where each message went.
// Exit status: 0 every message left through "out", 1 some did not, 2 usage or input errors.
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "attachments.h"
#include "memhost.h"
#include "messages.h"
#include "plugin.h"
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
  std::cerr << "flowrun: " << message << '\n';
  return kUsageOrInput;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs messages through the SendMailPlugIn node on an in-memory host.\n"
               "Each XML or JSON document becomes one message; its root's children are the mail fields."};
  std::string pluginPath = flowrun::defaultPluginPath();
  std::vector<std::string> sets;
  std::string nodeFile;
  std::string server;
  bool listAttributes = false;
  std::string putTime;
  std::string msgId;
  flowrun::RunOptions options;
  std::vector<std::string> inputs;

  app.add_option("--plugin", pluginPath, "plug-in library to load")->capture_default_str();
  // One value per occurrence, so that inputs may follow a repeated option.
  app.add_option("--set", sets, "node attribute NAME=VALUE (repeatable; after --node and --server)")
      ->allow_extra_args(false);
  app.add_option("--node", nodeFile, "properties file of node attributes, NAME=VALUE lines, # comments");
  app.add_option("--server", server, "shorthand for ServerName and ServerPort: HOST[:PORT]");
  app.add_flag("--list-attributes", listAttributes, "print the node's attributes with their values and exit");
  app.add_option("--repeat", options.repeat, "send each message N times")->check(CLI::Range(1ul, 100000000ul));
  app.add_option("--threads", options.threads, "evaluate on N threads at once on the one node")
      ->check(CLI::Range(1u, 256u));
  app.add_option("--out", options.outDir, "write each propagated message to DIR/<terminal>/");
  app.add_option("--put-time", putTime, "descriptor put date and time of every message, \"YYYY-MM-DD HH:MM:SS[.ff]\"");
  app.add_option("--msgid", msgId, "descriptor message id of every message, 48 hex digits");
  app.add_flag("--no-descriptor", options.descriptor.omit, "give messages no descriptor folder");
  app.add_option("--detach", options.detach, "leave an output terminal unattached (repeatable)")
      ->allow_extra_args(false);
  app.add_flag("-v,--verbose", options.verbose, "show the node's log entries under each message");
  app.add_flag("-q,--quiet", options.quiet, "no line per message, only the summary");
  app.add_option("inputs", inputs, "XML or JSON files, folders of them, or - for standard input (the default)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsageOrInput;
  }

  if (!putTime.empty()) {
    HostDate date{};
    HostTime time{};
    if (!flowrun::parsePutTime(putTime, date, time)) return fail("--put-time wants \"YYYY-MM-DD HH:MM:SS[.ff]\"");
    options.descriptor.putDate = date;
    options.descriptor.putTime = time;
  }
  if (!msgId.empty()) {
    std::vector<uint8_t> bytes;
    if (!flowrun::parseMsgId(msgId, bytes)) return fail("--msgid wants 48 hex digits");
    options.descriptor.msgId = bytes;
  }

  std::vector<std::pair<std::string, std::string>> settings;
  std::string error;
  if (!nodeFile.empty() && !flowrun::readProperties(nodeFile, settings, error)) return fail(error);
  if (!server.empty()) {
    auto colon = server.rfind(':');
    if (colon != std::string::npos && server.find(':') == colon) {
      settings.emplace_back("ServerName", server.substr(0, colon));
      settings.emplace_back("ServerPort", server.substr(colon + 1));
    } else {
      settings.emplace_back("ServerName", server);
    }
  }
  for (const std::string& text : sets) {
    std::pair<std::string, std::string> setting;
    if (!splitSetting(text, setting)) return fail("--set wants NAME=VALUE, not " + text);
    settings.push_back(setting);
  }

  flowrun::Plugin plugin(pluginPath);
  if (!plugin.ok()) return fail(plugin.error());
  memhost::Node& node = plugin.node();
  if (error = flowrun::setAttributes(node, settings); !error.empty()) return fail(error);

  if (listAttributes) {
    for (const std::string& name : node.attributeNames()) {
      std::string value;
      node.getAttribute(name, value);
      std::cout << name << '=' << value << '\n';
    }
    return kAllOut;
  }

  if (inputs.empty()) inputs.push_back("-");
  std::vector<flowrun::InputMessage> messages;
  std::vector<flowrun::InputError> inputErrors;
  flowrun::readInputs(inputs, messages, inputErrors);
  flowrun::resolveAttachments(messages, inputErrors, std::cerr);
  for (const auto& e : inputErrors) std::cerr << "flowrun: " << e.label << ": " << e.reason << '\n';

  flowrun::RunSummary summary;
  if (!messages.empty()) {
    if (!flowrun::runMessages(node, messages, options, std::cout, summary, error)) return fail(error);
  }
  std::cout << flowrun::summaryLine(summary) << '\n';

  if (!inputErrors.empty() || messages.empty()) return kUsageOrInput;
  return summary.out == summary.total() ? kAllOut : kNotAllOut;
}
