// Reading XML and JSON documents into message trees, filling the descriptor folder, and
// writing propagated messages back as XML. XML goes through pugixml, JSON through
// nlohmann-json (ordered, so fields keep the document's order).
#include "messages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "util_alloc.h"

namespace flowrun {
namespace {

using memhost::Element;
using memhost::Message;
using Json = nlohmann::ordered_json;

constexpr const char* kPropertiesFolder = "Properties";
constexpr const char* kDescriptorFolder = "TVMD";

// A template: root -> "Properties", body folder -> top element.
std::unique_ptr<Message> newTemplate(const char* bodyFolder, Element*& folder) {
  auto message = std::make_unique<Message>();
  message->root().addChild(kPropertiesFolder);
  folder = &message->root().addChild(bodyFolder);
  return message;
}

std::size_t lineOfOffset(const std::string& text, std::ptrdiff_t offset) {
  std::size_t end = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)), text.size());
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
}

// ---- XML

// The text of a leaf: its one text child where it has one (no copy), else all of them joined.
std::string_view xmlText(const pugi::xml_node& node, std::string& joined) {
  pugi::xml_node only;
  std::size_t count = 0;
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_pcdata && child.type() != pugi::node_cdata) continue;
    if (count++ == 0) only = child;
  }
  if (count == 0) return {};
  if (count == 1) return only.value();
  joined.clear();
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) joined += child.value();
  }
  return joined;
}

bool hasElementChildren(const pugi::xml_node& node) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element) return true;
  }
  return false;
}

// Element children become child elements; a leaf's text becomes its value; attributes are ignored.
void fromXml(const pugi::xml_node& node, Element& parent) {
  std::string joined;
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    if (hasElementChildren(child)) {
      fromXml(child, parent.addChild(child.name()));
    } else {
      parent.addText(child.name(), xmlText(child, joined));
    }
  }
}

// The message of a parsed document: its root element becomes the body's top element.
void xmlMessage(const std::string& label, const pugi::xml_document& doc, std::vector<InputMessage>& out,
                std::vector<InputError>& errors) {
  pugi::xml_node top = doc.document_element();
  if (!top) {
    errors.push_back({label, "line 1: no root element"});
    return;
  }
  Element* folder = nullptr;
  auto message = newTemplate("XML", folder);
  Element& topElement = folder->addChild(top.name());
  if (hasElementChildren(top)) {
    fromXml(top, topElement);
  } else {
    std::string joined;
    topElement.setText(xmlText(top, joined));
  }
  out.push_back({label, std::move(message)});
}

std::string xmlError(const std::string& text, const pugi::xml_parse_result& result) {
  return "line " + std::to_string(lineOfOffset(text, result.offset)) + ": " + result.description();
}

void parseXml(const std::string& label, const std::string& text, std::vector<InputMessage>& out,
              std::vector<InputError>& errors) {
  pugi::xml_document doc;
  pugi::xml_parse_result result = doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    errors.push_back({label, xmlError(text, result)});
    return;
  }
  xmlMessage(label, doc, out, errors);
}

bool readFile(const std::filesystem::path& path, std::string& text, std::string& reason);

// A file's pages mapped privately: read where they lie in the page cache, copied only where
// written to.
class MappedFile {
 public:
  explicit MappedFile(const std::filesystem::path& path) {
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

// An XML file is parsed where it lies, mapped: a large file costs neither a read copy nor the
// parser's own. Only a malformed file is read again, to name the line (the parse has changed
// the mapped text). Files that cannot be mapped are read as text.
void parseXmlFile(const std::filesystem::path& path, std::vector<InputMessage>& out,
                  std::vector<InputError>& errors) {
  MappedFile file(path);
  std::string text, reason;
  if (file.data() == nullptr) {
    if (!readFile(path, text, reason)) {
      errors.push_back({path.string(), reason});
      return;
    }
    parseXml(path.string(), text, out, errors);
    return;
  }
  pugi::xml_document doc;
  pugi::xml_parse_result result =
      doc.load_buffer_inplace(file.data(), file.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    if (!readFile(path, text, reason)) {
      errors.push_back({path.string(), reason});
      return;
    }
    errors.push_back({path.string(), xmlError(text, result)});
    return;
  }
  xmlMessage(path.string(), doc, out, errors);
}

// Large blocks of the parser ask for huge pages: a 64 MiB document then costs a few dozen page
// faults instead of sixteen thousand.
void* parserAllocate(std::size_t size) {
  void* block = std::malloc(size);
  if (block != nullptr) sm::preferHugePages(block, size);
  return block;
}

// ---- JSON

void addJson(Element& parent, const std::string& name, const Json& value) {
  switch (value.type()) {
    case Json::value_t::array:
      for (const Json& item : value) addJson(parent, name, item);
      break;
    case Json::value_t::object: {
      Element& element = parent.addChild(name);
      for (const auto& [key, item] : value.items()) addJson(element, key, item);
      break;
    }
    case Json::value_t::string:
      parent.addText(name, value.get_ref<const std::string&>());
      break;
    case Json::value_t::null:
      parent.addText(name, "");
      break;
    default:
      parent.addText(name, value.dump());
      break;
  }
}

void jsonMessage(const std::string& label, const Json& object, std::vector<InputMessage>& out) {
  Element* folder = nullptr;
  auto message = newTemplate("JSON", folder);
  Element& top = folder->addChild("Mail");
  for (const auto& [key, item] : object.items()) addJson(top, key, item);
  out.push_back({label, std::move(message)});
}

void parseJson(const std::string& label, const std::string& text, std::vector<InputMessage>& out,
               std::vector<InputError>& errors) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // The library's text names the line and column; strip its "[json.exception...]" tag.
    std::string reason = e.what();
    if (auto pos = reason.find("] "); reason.rfind("[json.exception", 0) == 0 && pos != std::string::npos) {
      reason = reason.substr(pos + 2);
    }
    errors.push_back({label, reason});
    return;
  }
  if (doc.is_object()) {
    jsonMessage(label, doc, out);
  } else if (doc.is_array() && std::all_of(doc.begin(), doc.end(), [](const Json& j) { return j.is_object(); })) {
    std::size_t n = 0;
    for (const Json& item : doc) jsonMessage(label + "#" + std::to_string(++n), item, out);
  } else {
    errors.push_back({label, "line 1: a JSON message is an object, or an array of objects"});
  }
}

Format sniff(const std::string& text) {
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '{' || c == '[') return Format::Json;
    break;
  }
  return Format::Xml;
}

Format formatOfPath(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".xml") return Format::Xml;
  if (ext == ".json") return Format::Json;
  return Format::Auto;
}

bool readFile(const std::filesystem::path& path, std::string& text, std::string& reason) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    reason = std::strerror(errno);
    return false;
  }
  // One read of the whole file into a string of its size (no growing copies of a large file).
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size > 0) {
    text.resize(static_cast<std::size_t>(size));
    in.read(text.data(), size);
    text.resize(static_cast<std::size_t>(in.gcount()));
  } else {
    in.clear();  // not seekable: read it as a stream
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (in.bad()) {
    reason = "read error";
    return false;
  }
  return true;
}

// ---- descriptor

std::atomic<std::uint64_t> messageCounter{0};

// 24 bytes: a tag, the process id, the run's start and a counter, so ids differ across runs
// and within one.
std::vector<uint8_t> freshMessageId() {
  static const std::uint64_t start =
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  static const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
  std::uint64_t n = messageCounter.fetch_add(1, std::memory_order_relaxed) + 1;
  std::vector<uint8_t> id = {'F', 'R', 'U', 'N'};
  auto put = [&id](std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) id.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(pid, 4);
  put(start, 8);
  put(n, 8);
  return id;
}

void now(HostDate& date, HostTime& time) {
  auto clock = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(clock);
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(clock.time_since_epoch()).count() % 1000000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  date = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday};
  time = {utc.tm_hour, utc.tm_min, static_cast<float>(utc.tm_sec) + static_cast<float>(micros) / 1e6f};
}

// ---- output

void toXml(const Element& element, pugi::xml_node out) {
  for (const auto& child : element.children()) {
    if (child->name().empty()) {
      // An unnamed value element (as under "SendMailError") becomes the parent's text.
      out.append_child(pugi::node_pcdata).set_value(child->text().c_str());
      continue;
    }
    pugi::xml_node node = out.append_child(child->nameUtf8().c_str());
    if (!child->children().empty()) {
      toXml(*child, node);
    } else if (child->kind() == memhost::ValueKind::Character) {
      node.text().set(child->text().c_str());
    }
  }
}

}  // namespace

void parseDocument(const std::string& label, const std::string& text, Format format, std::vector<InputMessage>& out,
                   std::vector<InputError>& errors) {
  if (format == Format::Auto) format = sniff(text);
  if (format == Format::Json) {
    parseJson(label, text, out, errors);
  } else {
    parseXml(label, text, out, errors);
  }
}

void readInputs(const std::vector<std::string>& paths, std::vector<InputMessage>& out,
                std::vector<InputError>& errors) {
  namespace fs = std::filesystem;
  pugi::set_memory_management_functions(parserAllocate, std::free);
  for (const std::string& path : paths) {
    if (path == "-") {
      std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
      parseDocument("stdin", text, Format::Auto, out, errors);
      continue;
    }
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(path, ec)) {
        if (entry.is_regular_file() && formatOfPath(entry.path()) != Format::Auto) files.push_back(entry.path());
      }
      if (ec) {
        errors.push_back({path, ec.message()});
        continue;
      }
      std::sort(files.begin(), files.end());
      for (const fs::path& file : files) {
        if (formatOfPath(file) == Format::Xml) {
          parseXmlFile(file, out, errors);
          continue;
        }
        std::string text, reason;
        if (!readFile(file, text, reason)) {
          errors.push_back({file.string(), reason});
          continue;
        }
        parseDocument(file.string(), text, formatOfPath(file), out, errors);
      }
      continue;
    }
    if (formatOfPath(path) == Format::Xml) {
      parseXmlFile(path, out, errors);
      continue;
    }
    std::string text, reason;
    if (!readFile(path, text, reason)) {
      errors.push_back({path, reason});
      continue;
    }
    parseDocument(path, text, formatOfPath(path), out, errors);
  }
}

bool parsePutTime(const std::string& text, HostDate& date, HostTime& time) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, consumed = 0;
  float s = 0;
  char sep = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%f%n", &y, &mo, &d, &sep, &h, &mi, &s, &consumed) != 7) return false;
  if ((sep != ' ' && sep != 'T') || static_cast<std::size_t>(consumed) != text.size()) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || !(s >= 0 && s < 61)) return false;
  date = {y, mo, d};
  time = {h, mi, s};
  return true;
}

bool parseMsgId(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() != 48) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      char c = text[j];
      unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
                       : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                       : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                              : 16u;
      if (digit > 15) return false;
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

std::unique_ptr<Message> instantiate(const Message& input, const DescriptorOptions& options, memhost::Host& host) {
  auto message = host.newMessage();
  Element& root = message->root();
  const Element* properties = input.root().firstChild();
  const Element* folder = input.root().lastChild();

  Element& newProperties = root.addChild(kPropertiesFolder);
  if (properties != nullptr && properties != folder) properties->copyChildrenTo(newProperties);
  if (!options.omit) {
    HostDate date{};
    HostTime time{};
    now(date, time);
    Element& descriptor = root.addChild(kDescriptorFolder);
    descriptor.addDate("PutDate", options.putDate.value_or(date));
    descriptor.addTime("PutTime", options.putTime.value_or(time));
    descriptor.addBytes("MsgId", options.msgId ? *options.msgId : freshMessageId());
  }
  if (folder != nullptr) {
    Element& body = root.addChild(folder->nameUtf8());
    folder->copyChildrenTo(body);
  }
  return message;
}

std::string toXml(const Message& message) {
  pugi::xml_document doc;
  const Element* folder = message.root().lastChild();
  const Element* top = folder != nullptr ? folder->firstChild() : nullptr;
  if (top != nullptr) {
    pugi::xml_node node = doc.append_child(top->nameUtf8().c_str());
    if (!top->children().empty()) {
      toXml(*top, node);
    } else if (top->kind() == memhost::ValueKind::Character) {
      node.text().set(top->text().c_str());
    }
  }
  std::ostringstream text;
  doc.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
  return text.str();
}

std::string sendMailError(const Message& message) {
  const Element* folder = message.root().lastChild();
  const Element* top = folder != nullptr ? folder->lastChild() : nullptr;
  const Element* error = nullptr;
  // The node adds the element under the top element, or under the folder or root when the
  // message has no such element; look in that order, the last one added wins.
  for (const Element* parent : {top, folder, &message.root()}) {
    if (parent == nullptr) continue;
    for (const auto& child : parent->children()) {
      if (child->nameUtf8() == "SendMailError") error = child.get();
    }
    if (error != nullptr) break;
  }
  if (error == nullptr) return {};
  std::string text;
  for (const auto& child : error->children()) text += child->text();
  return text;
}

}  // namespace flowrun
