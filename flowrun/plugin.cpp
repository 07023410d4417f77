// Loading the plug-in library with dlopen, running its entry point, making one node instance
// through the callback table it registered (removed again when the run ends), and setting the
// node's attributes.
#include "plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "messages.h"
#include "node_schema.h"

namespace flowrun {

std::string defaultPluginPath() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "SendMailPlugIn.so";
  return (self.parent_path().parent_path() / "sendmail" / "SendMailPlugIn.so").string();
}

Plugin::Plugin(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error_ = "cannot load plug-in " + path + ": " + (why ? why : "unknown error");
    return;
  }
  using EntryPoint = CciFactory* (*)();
  auto entry = reinterpret_cast<EntryPoint>(dlsym(handle_, "tvlGetMessageflowNodeFactory"));
  if (entry == nullptr) {
    error_ = "plug-in " + path + " has no entry point tvlGetMessageflowNodeFactory";
    return;
  }
  memhost::Host& host = memhost::Host::instance();
  std::size_t before = host.nodeClasses().size();
  if (entry() == nullptr) {
    error_ = "plug-in " + path + ": its entry point made no node factory";
    return;
  }
  if (host.nodeClasses().size() == before) {
    error_ = "plug-in " + path + ": its entry point registered no node class";
    return;
  }
  const memhost::NodeClass& nodeClass = *host.nodeClasses().back();
  className_ = memhost::toUtf8(nodeClass.className);
  node_ = host.createNode(className_, "SendMail");
  if (node_ == nullptr || node_->context() == nullptr) {
    error_ = "plug-in " + path + ": the node class " + memhost::toUtf8(nodeClass.className) +
             " made no node instance";
    node_ = nullptr;
    return;
  }
  // The node is removed when the run ends, as a broker removes a flow: the plug-in then says
  // goodbye on the connections it kept.
  using Release = void (*)(CciContext*);
  if (auto release = reinterpret_cast<Release>(dlsym(handle_, "deleteNodeContext"))) {
    host.setContextReleaser(release);
  }
}

Plugin::~Plugin() {
  // The library stays loaded as long as the process runs, as in a broker, since the host keeps
  // pointers into it; the node goes.
  if (node_ != nullptr) memhost::Host::instance().resetKeepingClasses();
}

std::string Plugin::settingsRefusal() {
  memhost::Host& host = memhost::Host::instance();
  memhost::Node* probe = host.createNode(className_, "SettingsProbe");
  memhost::Terminal* failure = probe != nullptr ? probe->terminal(schema::kFailureTerminal) : nullptr;
  if (failure == nullptr) return {};
  for (const std::string& name : node_->attributeNames()) {
    std::string value;
    if (name != schema::name(schema::Attribute::Bcc) && node_->getAttribute(name, value)) probe->setAttribute(name, value);
  }
  auto message = host.newMessage();
  message->makeStandardShape();
  probe->evaluate(*message);
  for (const memhost::Propagation& p : failure->takePropagations()) {
    if (std::string reason = sendMailError(*p.message); reason != schema::kNoRecipientsText) return reason;
  }
  return {};
}

std::string setAttributes(memhost::Node& node, const std::vector<std::pair<std::string, std::string>>& settings) {
  std::vector<std::string> names = node.attributeNames();
  for (const auto& [name, value] : settings) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      return "unknown attribute " + name + " (the node has: " + [&] {
        std::string list;
        for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
        return list;
      }() + ")";
    }
    if (node.setAttribute(name, value) != 0) return "the node refuses the value of attribute " + name;
  }
  return {};
}

bool valueFrom(ValueSource source, const std::string& reference, std::string& value, std::string& error) {
  if (source == ValueSource::Given) {
    value = reference;
    return true;
  }
  if (source == ValueSource::Environment) {
    const char* text = std::getenv(reference.c_str());
    if (text == nullptr) error = "the environment has no variable " + reference;
    value = text != nullptr ? text : "";
    return text != nullptr;
  }
  // Read as a stream, so that a pipe (a shell's <(command)) works too, and bounded, so that a
  // device that never ends does not hold the run.
  constexpr std::size_t kMaxValue = 64 * 1024;
  std::ifstream in(reference, std::ios::binary);
  value.assign(kMaxValue + 1, '\0');
  if (in) in.read(value.data(), static_cast<std::streamsize>(value.size()));
  if (!in && !in.eof()) {
    error = "cannot read " + reference + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    value.clear();
    return false;
  }
  value.resize(static_cast<std::size_t>(in.gcount()));
  if (value.size() > kMaxValue) {
    error = reference + " holds more than 64 KiB";
    value.clear();
    return false;
  }
  if (value.ends_with('\n')) value.pop_back();
  if (value.ends_with('\r')) value.pop_back();
  return true;
}

bool readProperties(const std::string& path, std::vector<std::pair<std::string, std::string>>& settings,
                    std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read node file " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::size_t eq = line.find('=', start);
    if (eq == std::string::npos) {
      error = path + ":" + std::to_string(number) + ": expected NAME=VALUE";
      return false;
    }
    std::string name = line.substr(start, eq - start);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    // As in the usual properties format, blanks around the "=" are not part of the value.
    const std::size_t at = line.find_first_not_of(" \t", eq + 1);
    std::string value = at == std::string::npos ? std::string() : line.substr(at);
    ValueSource source = ValueSource::Given;
    if (name.ends_with(".file")) {
      source = ValueSource::File;
      value = (std::filesystem::path(path).parent_path() / value).string();
    } else if (name.ends_with(".env")) {
      source = ValueSource::Environment;
    }
    if (source != ValueSource::Given) name.erase(name.rfind('.'));
    std::string text, why;
    if (!valueFrom(source, value, text, why)) {
      error = path + ":" + std::to_string(number) + ": " + name + ": " + why;
      return false;
    }
    settings.emplace_back(name, text);
  }
  return true;
}

}  // namespace flowrun
