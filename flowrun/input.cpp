// The runner's inputs: the files, folders and standard input named on the command line, each
// read once (an XML file mapped, so that the parser works in the file's pages) and handed to
// the reader of its format.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "formats.h"

namespace flowrun {
namespace {

namespace fs = std::filesystem;

enum class Format { Auto, Xml, Json };

// A file's pages mapped privately: read where they lie in the page cache, copied only where
// written to.
class MappedFile {
 public:
  explicit MappedFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
      size_ = static_cast<std::size_t>(info.st_size);
      // Populated read-only, then made writable: a private writable mapping would be populated
      // by copying every page.
      void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (p != MAP_FAILED && ::mprotect(p, size_, PROT_READ | PROT_WRITE) == 0) {
        data_ = static_cast<char*>(p);
      } else if (p != MAP_FAILED) {
        ::munmap(p, size_);
      }
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

Format sniff(const std::string& text) {
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '{' || c == '[') return Format::Json;
    break;
  }
  return Format::Xml;
}

Format formatOfPath(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".xml") return Format::Xml;
  if (ext == ".json") return Format::Json;
  return Format::Auto;
}

void readText(const std::string& label, std::string& text, Format format, Reading& reading) {
  if (format == Format::Auto) format = sniff(text);
  if (format == Format::Json) {
    readJson(label, text, reading);
  } else {
    readXml(label, text.data(), text.size(), false, [&text] { return text; }, reading);
  }
}

// An XML file is parsed where it lies, mapped: a large file costs neither a read copy nor the
// parser's own. Other files, and files that cannot be mapped, are read as text.
void readPath(const fs::path& path, Reading& reading) {
  const std::string label = path.string();
  reading.path = label;
  std::string text, reason;
  const Format format = formatOfPath(path);
  if (format == Format::Xml) {
    MappedFile file(path);
    if (file.data() != nullptr) {
      auto original = [&path] {
        std::string again, unused;
        readFile(path, again, unused);
        return again;
      };
      readXml(label, file.data(), file.size(), true, original, reading);
      return;
    }
  }
  if (!readFile(path, text, reason)) {
    reading.errors.push_back({label, reason});
    return;
  }
  readText(label, text, format, reading);
}

}  // namespace

void readInputs(const std::vector<std::string>& paths, std::vector<InputMessage>& out, std::vector<InputError>& errors,
                Warnings& warnings) {
  Reading reading{out, errors, warnings, {}};
  for (const std::string& path : paths) {
    if (path == "-") {
      reading.path.clear();
      std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
      readText("stdin", text, Format::Auto, reading);
      continue;
    }
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      readPath(path, reading);
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(path, ec)) {
      if (entry.is_regular_file() && formatOfPath(entry.path()) != Format::Auto) files.push_back(entry.path());
    }
    if (ec) {
      errors.push_back({path, ec.message()});
      continue;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) readPath(file, reading);
  }
}

}  // namespace flowrun
