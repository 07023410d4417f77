// Small helpers of the suites that read files and run programs (the flowrun program, servers):
// a file's whole content, a text quoted for the shell, one run of a program with its status,
// output and errors, and a program running beside the test, ended by its pid. Header-only.
#ifndef TESTS_SUPPORT_FILES_H
#define TESTS_SUPPORT_FILES_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" char** environ;

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

// A program started in the background and ended by its pid, never by its name. Its standard
// input and output are `in` and `out` (the child's copies), or /dev/null and the file `output`
// (with standard error too, when `errors`). poll() is its exit status once it has ended, -1
// while it runs, -2 when a signal ended it; end() sends `signal` first, then waits. What still
// runs when the object goes is killed.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::filesystem::path& output, bool errors = true)
      : Child(std::move(argv), -1, -1, &output, errors) {}
  Child(std::vector<std::string> argv, int in, int out) : Child(std::move(argv), in, out, nullptr, false) {}
  ~Child() { end(SIGKILL); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  int poll() { return wait(false); }
  int end(int signal) {
    if (poll() == -1 && pid_ > 0) ::kill(pid_, signal);
    return wait(true);
  }

 private:
  Child(std::vector<std::string> argv, int in, int out, const std::filesystem::path* output, bool errors) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    if (output != nullptr) {
      posix_spawn_file_actions_addopen(&io, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&io, STDOUT_FILENO, output->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (errors) posix_spawn_file_actions_adddup2(&io, STDOUT_FILENO, STDERR_FILENO);
    } else {
      posix_spawn_file_actions_adddup2(&io, in, STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&io, out, STDOUT_FILENO);
    }
    if (posix_spawn(&pid_, args[0], &io, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&io);
  }
  int wait(bool block) {
    if (status_ != -1 || pid_ <= 0) return status_;
    int raw = 0;
    if (::waitpid(pid_, &raw, block ? 0 : WNOHANG) != pid_) return -1;
    return status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -2;
  }

  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace testfiles

#endif
