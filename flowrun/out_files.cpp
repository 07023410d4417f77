// Writing and moving the files of an --out folder with renames only: a temporary file is named
// ".flowrun-XXXXXX" (no .xml, so a run feeding the folder never reads it), and a name is
// claimed with renameat2(RENAME_NOREPLACE), falling back to link() where a file system lacks
// it, so that threads or processes writing at once never take the same name.
#include "out_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace flowrun {
namespace {

namespace fs = std::filesystem;

// More files of one name than this in one folder is a folder nobody reads any more.
constexpr unsigned kMaxSuffix = 1000000;

std::string reason(int error) { return std::generic_category().message(error); }

// Writes all of `text` to `fd` and closes it; the reason on failure (a full file system shows
// at write or at close, never later, so both are checked).
std::string writeAndClose(int fd, const std::string& text) {
  std::size_t done = 0;
  int failure = 0;
  while (done < text.size() && failure == 0) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      failure = errno;
    }
  }
  if (::close(fd) != 0 && failure == 0) failure = errno;
  return failure == 0 ? std::string() : reason(failure);
}

// `text` in a new temporary file beside `file`, the file it is meant to become; its name, or
// empty with `error` set (naming `file`).
fs::path temporaryFile(const fs::path& file, const std::string& text, std::string& error) {
  std::string name = (file.parent_path() / ".flowrun-XXXXXX").string();
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  std::string why = fd < 0 ? reason(errno) : (::fchmod(fd, 0644), writeAndClose(fd, text));
  if (why.empty()) return name;
  if (fd >= 0) ::unlink(name.c_str());
  error = "cannot write " + file.string() + ": " + why;
  return {};
}

// Renames `from` to `to` unless `to` exists; 0, or the error number (EEXIST when taken).
int renameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // link() never replaces either; the old name goes once the new one holds the file.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

// Renames `from` to DIR/STEM.xml or the first free DIR/STEM_N.xml.
std::string claimName(const fs::path& from, const fs::path& dir, const std::string& stem, fs::path* claimed) {
  for (unsigned n = 1; n <= kMaxSuffix; ++n) {
    const fs::path target = dir / (n == 1 ? stem + ".xml" : stem + "_" + std::to_string(n) + ".xml");
    const int error = renameNoReplace(from, target);
    if (error == EEXIST) continue;
    if (error != 0) return "cannot write " + target.string() + ": " + reason(error);
    if (claimed != nullptr) *claimed = target;
    return {};
  }
  return "no free name for " + (dir / stem).string() + ".xml";
}

}  // namespace

std::string writeNewFile(const fs::path& dir, const std::string& stem, const std::string& text, fs::path* written) {
  std::string error;
  const fs::path temporary = temporaryFile(dir / (stem + ".xml"), text, error);
  if (temporary.empty()) return error;
  error = claimName(temporary, dir, stem, written);
  if (!error.empty()) ::unlink(temporary.c_str());
  return error;
}

std::string replaceFile(const fs::path& file, const std::string& text) {
  std::string error;
  const fs::path temporary = temporaryFile(file, text, error);
  if (temporary.empty()) return error;
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    error = "cannot replace " + file.string() + ": " + reason(errno);
    ::unlink(temporary.c_str());
  }
  return error;
}

std::string moveFile(const fs::path& file, const fs::path& dir, fs::path* moved) {
  return claimName(file, dir, file.stem().string(), moved);
}

}  // namespace flowrun
