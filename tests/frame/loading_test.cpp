// Loads the built library exactly as a broker does (dlopen, the entry point by name, then
// only the registered table) against the in-memory host, and checks the library's dynamic
// symbols: what it exports, what it keeps hidden, and what it expects the host to provide.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SendMailPlugIn.h"
#include "files.h"
#include "memhost.h"

namespace {

void* library() {
  static void* handle = dlopen(SM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

// A function of the library, looked up (never linked) and called through the type its header
// declares for it: symbol<decltype(f)>("f").
template <typename F>
F* symbol(const char* name) {
  return reinterpret_cast<F*>(dlsym(library(), name));
}

// The table's callbacks are the library's own code, and answer through the host of this process.
TEST(Loading, BrokerStyleLoadDrivesANodeThroughItsTable) {
  memhost::Host& host = memhost::Host::instance();
  host.reset();
  ASSERT_NE(library(), nullptr) << dlerror();
  auto entry = symbol<decltype(tvlGetMessageflowNodeFactory)>("tvlGetMessageflowNodeFactory");
  ASSERT_NE(entry, nullptr);
  host.setContextReleaser(symbol<decltype(deleteNodeContext)>("deleteNodeContext"));
  ASSERT_NE(entry(), nullptr);
  const NodeCallbackTable* table = host.findClass("SendMailPlugInNode")->table;
  for (void* slot : {reinterpret_cast<void*>(table->createNodeContext), reinterpret_cast<void*>(table->getAttributeName),
                     reinterpret_cast<void*>(table->setAttribute), reinterpret_cast<void*>(table->getAttribute),
                     reinterpret_cast<void*>(table->evaluate)}) {
    Dl_info info{};
    ASSERT_NE(dladdr(slot, &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("SendMailPlugIn"), std::string::npos) << info.dli_fname;
  }
  memhost::Node* node = host.createNode("SendMailPlugInNode");
  ASSERT_NE(node, nullptr);
  std::string port;
  EXPECT_TRUE(node->setAttribute("ServerPort", "2525") == 0 && node->getAttribute("ServerPort", port) && port == "2525");
  auto outputHandle = symbol<decltype(getOutputTerminalHandle)>("getOutputTerminalHandle");
  const CciChar failure[] = {'f', 'a', 'i', 'l', 'u', 'r', 'e', 0};
  EXPECT_EQ(outputHandle(static_cast<NodeContext*>(node->context()), failure), node->terminal("failure")->handle());
  EXPECT_EQ(dlsym(library(), "NodeStringBufferResize"), nullptr) << "a hidden internal";
  host.reset();  // releases the context through the library's deleteNodeContext
}

// ---------------------------------------------------------------- symbols

struct Symbol {
  char type;
  std::string name;     // without any version
  std::string version;  // after '@' or "@@", or empty
};

// The lines a tool prints about the library.
std::vector<std::string> linesOf(const std::string& tool, const std::string& options) {
  const std::string command = tool + " " + options + " '" + SM_PLUGIN_PATH + "' 2>/dev/null";
  std::vector<std::string> out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) out.emplace_back(line);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return out;
}

// The library's dynamic symbols as nm lists them in its portable format ("name type ...").
std::vector<Symbol> nm(const std::string& options) {
  std::vector<Symbol> out;
  std::string full;
  char type;
  for (const std::string& line : linesOf(SM_NM, "-D -P " + options))
    if (std::istringstream(line) >> full >> type) {
      const auto at = full.find('@');
      out.push_back({type, full.substr(0, at), at == std::string::npos ? "" : full.substr(full.find_first_not_of('@', at))});
    }
  return out;
}

// Every name `pattern` (its first group) finds in `text`.
std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> out;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it)
    out.insert((*it)[1]);
  return out;
}

TEST(Symbols, ExportedHiddenAndImportedNames) {
  // Exactly the C names of the version script's global section are exported: no internal
  // one, no C++ name.
  std::set<std::string> exported;
  for (const Symbol& s : nm("--defined-only"))
    if (s.name.rfind("_", 0) != 0 || s.name.rfind("_Z", 0) == 0) exported.insert(s.name);  // not toolchain markers
  const std::string map = std::regex_replace(testfiles::slurp(SM_EXPORTS_MAP), std::regex(R"(/\*[\s\S]*?\*/)"), "");
  ASSERT_NE(map.find("local:"), std::string::npos);
  const std::set<std::string> names = matches(map.substr(0, map.find("local:")), std::regex(R"(([A-Za-z_][A-Za-z_0-9]*);)"));
  EXPECT_GT(names.size(), 70u) << "exports.map read";
  EXPECT_EQ(exported, names) << "exports.map";

  // Undefined: only the host's operations, the C and C++ runtimes, OpenSSL, libcurl, toolchain
  // hooks.
  const std::set<std::string> hostOperations =
      matches(testfiles::slurp(SM_HOST_HEADER), std::regex(R"(\b((?:cni|cci)[A-Z][A-Za-z]*)\s*\()"));
  EXPECT_EQ(hostOperations.size(), 28u);
  const std::regex runtimeVersion(R"((GLIBC|GLIBCXX|CXXABI|GCC|OPENSSL|CURL_OPENSSL)_[0-9.]+)");
  const std::regex runtimeLibrary(R"(.*/(libc|libm|libstdc\+\+|libgcc_s|ld-linux[^/]*|lib(a|ub|t|l)san)\.so[^/]*)");
  const std::regex sanitizerName(R"(__(asan|ubsan|tsan|lsan|sanitizer)_\w+)");
  for (const Symbol& s : nm("--undefined-only")) {
    if (s.type == 'w' || s.type == 'v') continue;  // weak hooks the loader may leave unresolved
    if (hostOperations.count(s.name) || std::regex_match(s.version, runtimeVersion)) continue;
    if (std::regex_match(s.name, sanitizerName)) continue;  // its data may live in the executable
    // A sanitizer build takes the C library's names from the sanitizer runtime, unversioned:
    // ask the loader which library provides the name.
    Dl_info info{};
    void* address = dlsym(RTLD_DEFAULT, s.name.c_str());
    const bool fromRuntime = address && dladdr(address, &info) && info.dli_fname &&
                             std::regex_match(info.dli_fname, runtimeLibrary);
    EXPECT_TRUE(fromRuntime) << "unexpected import: " << s.name << '@' << s.version << " from "
                             << (info.dli_fname ? info.dli_fname : "nowhere");
  }

  // The library's own code reaches none of its exported names through a relocation the loader
  // could bind elsewhere (to a name the broker's process defines too): the SMTP client's C edge
  // is never called from inside, and the node frame's exports, which the library does use, are
  // protected. Only a protected name may stand in a relocation of a symbol the library defines.
  std::set<std::string> protectedNames, otherNames;
  for (const std::string& line : linesOf(SM_READELF, "-W --dyn-syms")) {
    std::istringstream fields(line);
    std::string number, value, size, type, bind, visibility, section, name;
    if (fields >> number >> value >> size >> type >> bind >> visibility >> section >> name && section != "UND")
      (visibility == "PROTECTED" ? protectedNames : otherNames).insert(name.substr(0, name.find('@')));
  }
  EXPECT_TRUE(protectedNames.count("evaluate") && otherNames.count("TcpClose")) << "readelf read";
  for (const std::string& line : linesOf(SM_READELF, "-W -r")) {
    std::istringstream fields(line);
    std::string offset, info, type, value, name;
    if (fields >> offset >> info >> type >> value >> name && type.rfind("R_", 0) == 0) {
      EXPECT_FALSE(otherNames.count(name.substr(0, name.find('@')))) << "the library's own code uses its export " << name;
    }
  }
}

}  // namespace
