// The runner's command line: its options (CLI11), a help that names the node's attributes and
// fields from its schema, and the node attributes the options give, in the order they apply.
#ifndef FLOWRUN_COMMAND_LINE_H
#define FLOWRUN_COMMAND_LINE_H

#include <string>
#include <utility>
#include <vector>

#include "plugin.h"
#include "run.h"

namespace flowrun {

using Settings = std::vector<std::pair<std::string, std::string>>;

// What the command line asks for.
struct CommandLine {
  std::string pluginPath = defaultPluginPath();
  // --set, --set-file and --set-env in the order given, each with where its value comes from.
  std::vector<std::pair<ValueSource, std::string>> sets;
  std::string nodeFile;
  std::string server;
  bool listAttributes = false;
  bool dryRun = false;
  bool trace = false;
  std::string retryDir;
  std::string putTime;
  std::string msgId;
  RunOptions options;
  std::vector<std::string> inputs;
};

// Parses the arguments into `line`: -1 to go on, or the exit status (0 after --help or
// --version, 2 for a usage error, which it prints).
int parseCommandLine(int argc, char** argv, CommandLine& line);

// The fixed descriptor values of --put-time and --msgid into `line.options`; an error text, or
// empty.
std::string readDescriptorOptions(CommandLine& line);

// The node's attributes from --node, then --server, then each --set, --set-file and --set-env
// in the order given (a later one wins); an error text, or empty. No error text holds a value
// given for an attribute: it may be a secret.
std::string collectSettings(const CommandLine& line, Settings& settings);

}  // namespace flowrun

#endif
