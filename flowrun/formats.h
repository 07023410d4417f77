// Private to the runner's readers: what the XML and JSON readers share with the file reading
// of input.cpp, the whole-file read that input.cpp and the attachment files share, and the
// contract each reader keeps.
#ifndef FLOWRUN_FORMATS_H
#define FLOWRUN_FORMATS_H

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "memhost.h"
#include "messages.h"

namespace flowrun {

class Warnings;

// Documents nest no deeper than this: a mail needs a handful of levels, and the tree is built,
// copied and written by recursion.
inline constexpr int kMaxDepth = 256;

// Where a reader puts what it read.
struct Reading {
  std::vector<InputMessage>& out;
  std::vector<InputError>& errors;
  Warnings& warnings;
  std::string path;  // the file being read, empty for standard input
};

// A message the reader cannot make (too deep, a name that is no element name): reported as an
// input error for that one message.
struct InputProblem : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the file at `path` whole into `out` (a string, or a vector of bytes for an attachment):
// one read into a buffer of the file's size, so a large file is never grown copy by copy nor
// read into one type and copied into another; a file that cannot seek (a pipe) is read as a
// stream. On failure `reason` says why, in the system's words.
template <typename Buffer>
bool readFile(const std::filesystem::path& path, Buffer& out, std::string& reason) {
  std::error_code ec;
  // A directory opens, but the end it seeks to is no size (ext4 gives the largest offset).
  if (std::filesystem::is_directory(path, ec)) {
    reason = std::strerror(EISDIR);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    reason = std::strerror(errno);
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size > 0) {
    out.resize(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(out.data()), size);
    out.resize(static_cast<std::size_t>(in.gcount()));
  } else {
    in.clear();  // not seekable: read it as a stream
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (in.bad()) {
    reason = "read error";
    return false;
  }
  return true;
}

// ---- messages.cpp

// Adds one message to `reading`: root -> "Properties", then the body folder `bodyFolder`, which
// `fill` fills. A fill that throws InputProblem makes the message an input error instead.
void addMessage(const std::string& label, const char* bodyFolder, const std::function<void(memhost::Element&)>& fill,
                Reading& reading);

// ---- xml_format.cpp

// Reads one XML document of `size` bytes at `data`, in the encoding its byte-order mark or
// declaration names. With `inPlace` the parser works in `data` itself (which it changes);
// `original` gives the untouched text again, to name the line of a syntax error.
void readXml(const std::string& label, char* data, std::size_t size, bool inPlace,
             const std::function<std::string()>& original, Reading& reading);

// True when `name` can be written as an element name (an XML Name without a colon).
bool isXmlName(std::string_view name);

// ---- json_format.cpp

// Reads one JSON document: an object is one message, an array of objects one message each.
void readJson(const std::string& label, const std::string& text, Reading& reading);

}  // namespace flowrun

#endif
