// Attachment data as a user writes it in a message file: an attachment's Data element holding a
// Base64 child (the bytes as base64 text) or a File child (a file to read, relative to the
// message's document) gets the bytes as its byte-array value, which the node sends as they are.
#include "attachments.h"

#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>

#include "formats.h"
#include "node_schema.h"

namespace flowrun {
namespace {

using memhost::Element;
namespace fs = std::filesystem;

// Standard base64; blanks and line ends are skipped, anything else outside the alphabet and
// its padding is an error.
bool decodeBase64(std::string_view text, std::vector<uint8_t>& out) {
  unsigned bits = 0;
  int count = 0;
  bool padded = false;
  for (const char c : text) {
    int v = -1;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') padded = true;
    else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    if (v < 0) continue;
    if (padded) return false;  // data after the padding
    bits = bits << 6 | static_cast<unsigned>(v);
    if ((count += 6) >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return true;
}

}  // namespace

std::string encodeBase64(const std::vector<uint8_t>& bytes) {
  constexpr std::size_t kLineBytes = 57;  // 76 characters
  std::string out;
  out.reserve((bytes.size() + kLineBytes - 1) / kLineBytes * 77);
  unsigned char line[80];
  for (std::size_t at = 0; at < bytes.size(); at += kLineBytes) {
    const int n = EVP_EncodeBlock(line, bytes.data() + at, static_cast<int>(std::min(kLineBytes, bytes.size() - at)));
    if (at > 0) out += '\n';
    out.append(reinterpret_cast<const char*>(line), static_cast<std::size_t>(n));
  }
  return out;
}

namespace {

// The folder a document's relative file names start from: its own, or the working directory
// for standard input. A label "file#n" names the n-th message of a JSON array in "file".
fs::path baseOf(const std::string& label) {
  fs::path path = label;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    const std::size_t hash = label.rfind('#');
    if (hash == std::string::npos) return fs::current_path(ec);
    path = label.substr(0, hash);
  }
  return path.parent_path();
}

// Gives one Data element its bytes; returns an error text, or empty.
std::string resolveData(Element& data, const fs::path& base) {
  for (const auto& child : data.children()) {
    std::vector<uint8_t> bytes;
    if (child->nameUtf8() == kBase64) {
      if (!decodeBase64(child->text(), bytes)) return "attachment Data is not valid base64";
    } else if (child->nameUtf8() == kFile) {
      const fs::path file = base / child->text();
      std::string reason;
      if (!readFile(file, bytes, reason)) return "attachment file " + file.string() + " cannot be read: " + reason;
      if (bytes.empty()) return "attachment file " + file.string() + " is empty";
    } else {
      continue;
    }
    data.setBytes(std::move(bytes));
    return {};
  }
  return {};
}

// Why the attachment `part` (the n-th of its message) would go out empty, or empty: the node
// reads the last Data child, and a typing slip there must not become an empty file silently.
std::string emptyAttachment(const Element& part, std::size_t n) {
  const Element* data = nullptr;
  std::string name = "#" + std::to_string(n);
  for (const auto& child : part.children()) {
    if (child->nameUtf8() == schema::kAttachmentData) data = child.get();
    if (child->nameUtf8() == schema::kAttachmentName && !child->text().empty()) name = "\"" + child->text() + "\"";
  }
  const std::string what = "attachment " + name;
  if (data == nullptr) return what + " has no " + schema::kAttachmentData + ": it would be sent empty";
  if (!data->bytes().empty() || !data->characterValue().empty()) return {};
  if (data->children().empty()) return what + ": its " + schema::kAttachmentData + " is empty";
  const std::string inner = data->children().front()->nameUtf8();
  if (inner == kBase64 || inner == kFile) return what + ": its <" + inner + "> is empty";
  return what + ": " + schema::kAttachmentData + " holds <" + inner + ">, neither " +
         kBase64 + " nor " + kFile + ": it would be sent empty";
}

// Resolves every attachment of one message; returns the first error, or empty.
std::string resolveMessage(const std::string& label, memhost::Message& message) {
  const Element* top = topElement(message);
  if (top == nullptr) return {};
  const fs::path base = baseOf(label);
  std::size_t n = 0;
  for (const auto& field : top->children()) {
    const schema::FieldRow* known = schema::fieldNamed(field->nameUtf8());
    if (known == nullptr || known->role != schema::FieldRole::Attachment) continue;
    for (const auto& part : field->children()) {
      if (part->nameUtf8() != schema::kAttachmentData) continue;
      if (std::string error = resolveData(*part, base); !error.empty()) return error;
    }
    if (std::string error = emptyAttachment(*field, ++n); !error.empty()) return error;
  }
  return {};
}

}  // namespace

void resolveAttachments(std::vector<InputMessage>& messages, std::vector<InputError>& errors) {
  std::vector<InputMessage> kept;
  kept.reserve(messages.size());
  for (InputMessage& input : messages) {
    if (std::string error = resolveMessage(input.label, *input.message); !error.empty()) {
      errors.push_back({input.label, error});
    } else {
      kept.push_back(std::move(input));
    }
  }
  messages = std::move(kept);
}

}  // namespace flowrun
