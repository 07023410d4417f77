// Text safe for a terminal, and the warnings about what the node ignores: the field and
// attribute names come from the node's schema, the attribute rules from the node's own defaults.
#include "report.h"

#include <algorithm>
#include <ostream>

#include "header_rule.h"
#include "messages.h"
#include "node_schema.h"

namespace flowrun {

using schema::Attribute;
using schema::FieldRole;
using schema::kPriorityNames;

bool isPortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const long port = std::stol(text);
  return port >= 1 && port <= 65535;
}

namespace {

void appendEscape(std::string& out, unsigned value) {
  static const char hex[] = "0123456789abcdef";
  out += value > 0xff ? "\\u00" : "\\x";
  out += hex[(value >> 4) & 0xf];
  out += hex[value & 0xf];
}

// A recipient list is separated by ';': a ',' outside quotes and angle brackets makes the
// server see one malformed address.
bool commaOutsideQuotes(std::string_view list) {
  bool quoted = false;
  int angle = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      ++angle;
    } else if (c == '>' && angle > 0) {
      --angle;
    } else if (c == ',' && angle == 0) {
      return true;
    }
  }
  return false;
}

const char* const kListAdvice = "recipient lists are separated by ';', a ',' makes one bad address";

bool isPriorityName(const std::string& text) {
  return std::find(std::begin(kPriorityNames), std::end(kPriorityNames), text) != std::end(kPriorityNames);
}

// Attribute values the node replaces by a default, one rule per attribute (an empty value is
// the default itself): a new attribute with a restricted value is one new row.
struct AttributeRule {
  const char* name;
  bool (*accepts)(const std::string& value);
  std::string consequence;  // what the node does with any other value
};

// "Highest, High, ...": the names in the node's order.
std::string priorityNames() {
  std::string out;
  for (const std::string_view name : kPriorityNames) out += (out.empty() ? "" : ", ") + std::string(name);
  return out;
}

const AttributeRule kAttributeRules[] = {
    {schema::name(Attribute::Priority), isPriorityName, "is none of " + priorityNames() + ": the node uses Normal"},
    {schema::name(Attribute::SetPriority), [](const std::string& v) { return v == "yes"; },
     "is not exactly \"yes\": the node ignores Priority"},
    {schema::name(Attribute::ServerPort), isPortNumber,
     "is not a number from 1 to 65535: the node takes its low 16 bits as the port (25 for none or 0)"},
    {schema::name(Attribute::Bcc), [](const std::string& v) { return !commaOutsideQuotes(v); },
     std::string("has a ',': ") + kListAdvice},
};

// Attributes that do nothing unless another one is set, and what the node does instead.
struct DependentAttribute {
  const char* name;
  const char* needs;
  const char* instead;
};
const DependentAttribute kDependentAttributes[] = {
    {schema::name(Attribute::TLSVerify), schema::name(Attribute::Security), "mail goes in clear, as configured"},
    {schema::name(Attribute::TLSCAFile), schema::name(Attribute::Security), "mail goes in clear, as configured"},
    {schema::name(Attribute::SMTPPassword), schema::name(Attribute::SMTPUser), "the node does not log in"},
};

}  // namespace

std::string printable(std::string_view text, bool oneLine) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (oneLine && (c == '\r' || c == '\n')) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else if (c < 0x20 || c == 0x7f) {
      appendEscape(out, c);
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      appendEscape(out, 0x100 | static_cast<unsigned char>(text[++i]));  // a C1 control in UTF-8
    } else {
      out += static_cast<char>(c);
    }
  }
  if (oneLine) {
    while (!out.empty() && out.back() == ' ') out.pop_back();
  }
  return out;
}

void Warnings::add(const std::string& kind, const std::string& text) {
  for (const auto& [k, t] : warnings_) {
    if (k == kind) return;
  }
  warnings_.emplace_back(kind, text);
}

void Warnings::checkAttributes(memhost::Node& node) {
  auto value = [&node](const char* name) {
    std::string text;
    node.getAttribute(name, text);
    return text;
  };
  for (const AttributeRule& rule : kAttributeRules) {
    const std::string text = value(rule.name);
    if (!text.empty() && !rule.accepts(text)) {
      add(rule.name, "attribute " + std::string(rule.name) + " \"" + text + "\" " + rule.consequence);
    }
  }
  if (value(schema::name(Attribute::SetPriority)).empty() && !value(schema::name(Attribute::Priority)).empty()) {
    add(schema::name(Attribute::SetPriority), "attribute Priority is used only when SetPriority is \"yes\"");
  }
  for (const DependentAttribute& rule : kDependentAttributes) {
    if (!value(rule.name).empty() && value(rule.needs).empty()) {
      add(rule.name, "attribute " + std::string(rule.name) + " is used only when " + rule.needs + " is set: " + rule.instead);
    }
  }
  if (!value(schema::name(Attribute::SMTPUser)).empty() && !value(schema::name(Attribute::Security)).empty() &&
      value(schema::name(Attribute::TLSVerify)) == "no") {
    add("credentials", "SMTPUser and SMTPPassword go to a server whose certificate is not checked (TLSVerify=no)");
  }
  if (!value(schema::name(Attribute::OAuthTokenURL)).empty() && value(schema::name(Attribute::TLSVerify)) == "no") {
    add("token endpoint", "OAuthClientSecret and OAuthRefreshToken go to a token endpoint whose certificate is not "
                          "checked (TLSVerify=no)");
  }
  const std::string from = value(schema::name(Attribute::SMTPFrom));
  nodeSender_ = !from.empty() && from[0] != ' ';
}

void Warnings::checkMessage(const InputMessage& input) {
  const memhost::Element* top = topElement(*input.message);
  if (top == nullptr) return;
  bool sender = nodeSender_;
  for (const auto& child : top->children()) {
    const std::string name = child->nameUtf8();
    const schema::FieldRow* field = schema::fieldNamed(name);
    if (field == nullptr) {
      if (unknownFields_.empty()) firstUnknown_ = input.label;
      unknownFields_.insert(name);
    } else if (field->role == FieldRole::Sender) {
      sender |= !child->characterValue().empty();
    } else if (field->role == FieldRole::Recipients && commaOutsideQuotes(child->text())) {
      add("comma", input.label + ": field " + name + ": " + kListAdvice);
    } else if (field->role == FieldRole::Headers) {
      for (const auto& header : child->children()) {
        if (const char* why = richmail::headerRefusal(header->nameUtf8()))
          add("header " + header->nameUtf8(), input.label + ": header \"" + header->nameUtf8() + "\" is not sent: " + why);
      }
    }
  }
  if (!sender) add("sender", input.label + ": no sender: no SMTPFrom attribute and no From field");
}

void Warnings::print(std::ostream& err) const {
  if (!unknownFields_.empty()) {
    std::string names, known;
    std::size_t shown = 0;
    for (const std::string& name : unknownFields_) {
      if (shown++ == 8) {
        names += ", ...";
        break;
      }
      names += (names.empty() ? "" : ", ") + name;
    }
    for (const schema::FieldRow& field : schema::kFields)
      known += (known.empty() ? "" : ", ") + std::string(field.name) + ", " + field.mailName;
    err << "flowrun: warning: the node does not read the field(s) " << printable(names) << " (first in "
        << printable(firstUnknown_) << "); it reads " << known << '\n';
  }
  for (const auto& [kind, text] : warnings_) err << "flowrun: warning: " << printable(text) << '\n';
}

}  // namespace flowrun
