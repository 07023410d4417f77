// Small helpers of the suites that run the flowrun program: a file's whole content, and a text
// quoted for the shell.
#ifndef TESTS_RUNNER_FILES_H
#define TESTS_RUNNER_FILES_H

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testfiles {

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace testfiles

#endif
