// XML both ways: documents read into message trees (pugixml, in the document's own encoding,
// depth-bounded) and propagated messages written back as XML that the reader takes again.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include <pugixml.hpp>

#include "attachments.h"
#include "formats.h"
#include "huge_pages.h"
#include "node_schema.h"
#include "report.h"

namespace flowrun {
namespace {

using memhost::Element;

// Large blocks of the parser ask for huge pages: a 64 MiB document then costs a few dozen page
// faults instead of sixteen thousand.
void* parserAllocate(std::size_t size) {
  void* block = std::malloc(size);
  if (block != nullptr) hugepages::prefer(block, size);
  return block;
}

bool isText(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The text of a leaf: its one text child where it has one (no copy), else all of them joined.
std::string_view xmlText(const pugi::xml_node& node, std::string& joined) {
  pugi::xml_node only;
  std::size_t count = 0;
  for (pugi::xml_node child : node.children()) {
    if (isText(child) && count++ == 0) only = child;
  }
  if (count == 0) return {};
  if (count == 1) return only.value();
  joined.clear();
  for (pugi::xml_node child : node.children()) {
    if (isText(child)) joined += child.value();
  }
  return joined;
}

bool hasElementChildren(const pugi::xml_node& node) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element) return true;
  }
  return false;
}

// An element with children keeps only them (the node reads a value or children, never both):
// text beside them is dropped, which the user hears about.
void warnMixedContent(const pugi::xml_node& node, const std::string& label, Warnings& warnings) {
  for (pugi::xml_node child : node.children()) {
    if (!isText(child)) continue;
    std::string_view text = child.value();
    if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; })) continue;
    warnings.add("mixed", label + ": text beside child elements of <" + node.name() +
                              "> is dropped (only the child elements are read)");
    return;
  }
}

// Element children become child elements; a leaf's text becomes its value; attributes are ignored.
void fromXml(const pugi::xml_node& node, Element& parent, int depth, const std::string& label, Warnings& warnings) {
  if (depth > kMaxDepth) throw InputProblem("nested deeper than " + std::to_string(kMaxDepth) + " levels");
  warnMixedContent(node, label, warnings);
  std::string joined;
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    // The node never reads what it added (a failure's reason and detail, a receipt): a copy fed
    // back in starts clean.
    if (depth == 1 && schema::isOutcomeElement(child.name())) continue;
    if (hasElementChildren(child)) {
      fromXml(child, parent.addChild(child.name()), depth + 1, label, warnings);
    } else {
      parent.addText(child.name(), xmlText(child, joined));
    }
  }
}

// The encodings the parser converts from; a declaration naming another one would be read as
// UTF-8 and garble the text, so it is refused.
bool supportedEncoding(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  static const char* const known[] = {"utf-8",    "utf8",     "us-ascii", "ascii",    "iso-8859-1", "latin1",
                                      "utf-16",   "utf-16le", "utf-16be", "utf-32",   "utf-32le",   "utf-32be"};
  return std::find(std::begin(known), std::end(known), name) != std::end(known);
}

std::size_t lineOfOffset(const std::string& text, std::ptrdiff_t offset) {
  const auto end = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)), text.size());
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
}

void toXml(const Element& element, pugi::xml_node out, bool top = false) {
  for (const auto& child : element.children()) {
    // A message's own bearer token is a secret: it is never written to a file at rest. A copy fed
    // back in then uses the node's token, or fails asking for one.
    if (const schema::FieldRow* field = top ? schema::fieldNamed(child->nameUtf8()) : nullptr;
        field != nullptr && field->role == schema::FieldRole::Credential)
      continue;
    if (child->name().empty()) {
      // An unnamed value element (as under "SendMailError") becomes the parent's text.
      out.append_child(pugi::node_pcdata).set_value(child->text().c_str());
      continue;
    }
    pugi::xml_node node = out.append_child(child->nameUtf8().c_str());
    if (child->kind() == memhost::ValueKind::ByteArray) {
      // Bytes go as the bytes themselves, not as the file they came from: a copy fed back in
      // sends what this run had, wherever it runs and whatever became of that file.
      node.append_child(kBase64).text().set(encodeBase64(child->bytes()).c_str());
    } else if (!child->children().empty()) {
      toXml(*child, node);
    } else if (child->kind() == memhost::ValueKind::Character) {
      node.text().set(child->text().c_str());
    }
  }
}

}  // namespace

void readXml(const std::string& label, char* data, std::size_t size, bool inPlace,
             const std::function<std::string()>& original, Reading& reading) {
  static const bool allocatorSet = (pugi::set_memory_management_functions(parserAllocate, std::free), true);
  (void)allocatorSet;
  constexpr unsigned kOptions = pugi::parse_default | pugi::parse_declaration;
  pugi::xml_document doc;
  const pugi::xml_parse_result result = inPlace ? doc.load_buffer_inplace(data, size, kOptions, pugi::encoding_auto)
                                                : doc.load_buffer(data, size, kOptions, pugi::encoding_auto);
  if (!result) {
    reading.errors.push_back({label, "line " + std::to_string(lineOfOffset(original(), result.offset)) + ": " +
                                         result.description()});
    return;
  }
  for (pugi::xml_node node : doc.children()) {
    if (node.type() != pugi::node_declaration) continue;
    const std::string encoding = node.attribute("encoding").value();
    if (!encoding.empty() && !supportedEncoding(encoding)) {
      reading.errors.push_back({label, "encoding \"" + encoding + "\" is not supported (UTF-8, UTF-16, UTF-32, ISO-8859-1)"});
      return;
    }
  }
  pugi::xml_node top = doc.document_element();
  if (!top) {
    reading.errors.push_back({label, "line 1: no root element"});
    return;
  }
  addMessage(label, "XML", [&](Element& folder) {
    Element& topElement = folder.addChild(top.name());
    if (hasElementChildren(top)) {
      fromXml(top, topElement, 1, label, reading.warnings);
    } else {
      std::string joined;
      topElement.setText(xmlText(top, joined));
    }
  }, reading);
}

bool isXmlName(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool start = std::isalpha(c) != 0 || c == '_' || c >= 0x80;
    if (!start && (i == 0 || (std::isdigit(c) == 0 && c != '-' && c != '.'))) return false;
  }
  return true;
}

std::string toXml(const memhost::Message& message) {
  pugi::xml_document doc;
  if (const Element* top = topElement(message); top != nullptr) {
    pugi::xml_node node = doc.append_child(top->nameUtf8().c_str());
    if (!top->children().empty()) {
      toXml(*top, node, true);
    } else if (top->kind() == memhost::ValueKind::Character) {
      node.text().set(top->text().c_str());
    }
  }
  std::ostringstream text;
  doc.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
  return text.str();
}

}  // namespace flowrun
