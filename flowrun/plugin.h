// Loading the plug-in as a broker does: dlopen of the library, its entry point by name, the
// node class and callback table it registers, and one node instance made and driven through
// that table only.
#ifndef FLOWRUN_PLUGIN_H
#define FLOWRUN_PLUGIN_H

#include <string>
#include <utility>
#include <vector>

#include "memhost.h"

namespace flowrun {

// The plug-in library the runner was built with, next to its own executable.
std::string defaultPluginPath();

class Plugin {
 public:
  // Loads the library and runs its entry point. On failure, error() says why.
  explicit Plugin(const std::string& path);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // The node instance, made through the registered table of the library's one class.
  memhost::Node& node() { return *node_; }

  // The node's own refusal of its settings, or empty when it takes them, found without sending
  // anything: a second instance with the node's attributes, but no Bcc, evaluates a message that
  // names no recipient, which the node fails before any connection, with "No recipients found"
  // unless its settings cannot work. The node itself thus still meets its first message fresh.
  std::string settingsRefusal();

 private:
  void* handle_ = nullptr;
  memhost::Node* node_ = nullptr;
  std::string className_;
  std::string error_;
};

// Sets each NAME=VALUE on the node. Returns an error text naming the first attribute the
// node does not know or whose value it refuses, or empty.
std::string setAttributes(memhost::Node& node, const std::vector<std::pair<std::string, std::string>>& settings);

// Where an attribute's value comes from: given as it is, a file's content (one line end at its
// end dropped), or an environment variable's value. The last two keep a secret out of the
// process list and the shell's history.
enum class ValueSource { Given, File, Environment };

// The value `reference` stands for under `source`; false, with `error` set, when it cannot be
// had. The error never holds the value.
bool valueFrom(ValueSource source, const std::string& reference, std::string& value, std::string& error);

// NAME=VALUE lines of a properties file; '#' starts a comment line, blank lines are skipped,
// and blanks around the "=" are dropped. NAME.file=PATH takes the value from a file (a relative
// PATH starts from the properties file's folder), NAME.env=VARIABLE from the environment.
bool readProperties(const std::string& path, std::vector<std::pair<std::string, std::string>>& settings,
                    std::string& error);

}  // namespace flowrun

#endif
