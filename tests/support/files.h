// Small helpers of the suites that read files and run programs (the flowrun program above all):
// a file's whole content, a text quoted for the shell, and one run of a program with its
// status, output and errors. Header-only.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

struct Invocation {
  int status = -1;  // the exit status, -1 when a signal ended it
  std::string out, err;
};

// Runs `program` with `args` through the shell (after `shellPrefix`, such as a ulimit), with
// `input` on its standard input; its files (stdin.txt, stdout.txt, stderr.txt) go to `dir`.
inline Invocation run(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& dir,
                      const std::string& input = "", const std::string& shellPrefix = "") {
  std::ofstream(dir / "stdin.txt", std::ios::binary) << input;
  std::string command = shellPrefix + quote(program);
  for (const auto& a : args) command += " " + quote(a);
  command += " <" + quote(dir / "stdin.txt") + " >" + quote(dir / "stdout.txt") + " 2>" + quote(dir / "stderr.txt");
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "stdout.txt"), slurp(dir / "stderr.txt")};
}

}  // namespace testfiles

#endif
