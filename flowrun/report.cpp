// Text safe for a terminal, and the warnings about what the node ignores: the field and
// attribute names come from the node's schema, the attribute rules from the node's own defaults.
#include "report.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include "attachments.h"
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

// True when a recipient list names anyone: an entry other than blanks between its ';'s.
bool namesAnyone(std::string_view list) { return list.find_first_not_of(" \t\r\n;") != std::string_view::npos; }

// ---- What an unread name was probably meant to be

// A name as compared for a suggestion: lower case, without '-', '_', '.' or a plural 's'.
std::string folded(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c != '-' && c != '_' && c != '.') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (out.size() > 2 && out.back() == 's') out.pop_back();
  return out;
}

// Levenshtein distance; names are short, and longer ones are never close to a known name.
std::size_t editDistance(std::string_view a, std::string_view b) {
  if (a.size() > 64 || b.size() > 64) return 64;
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Names other tools use (folded), and what the node or the runner reads in their place.
struct Alias {
  const char* written;
  const char* meant;
};
const Alias kFieldAliases[] = {{"text", "Body"}, {"textbody", "Body"}, {"content", "Body"}, {"message", "Body"},
                               {"htmlbody", "Html"}, {"sender", "From"}, {"recipient", "To"}, {"file", "Attachment"}};
const Alias kAttachmentAliases[] = {{"filename", "Name"},      {"file", "Data with a File child"},
                                    {"path", "Data with a File child"}, {"filepath", "Data with a File child"},
                                    {"content", "Data"},       {"body", "Data"},
                                    {"base64", "Data with a Base64 child"}, {"type", "ContentType"},
                                    {"mimetype", "ContentType"}, {"mime", "ContentType"}};
const Alias kDataAliases[] = {{"filename", "File"}, {"path", "File"},   {"filepath", "File"},
                              {"name", "File"},     {"content", "Base64"}, {"b64", "Base64"}};

struct LevelRule {
  std::vector<std::string> known;
  std::vector<Alias> aliases;
  std::string intro;  // what does not read the names, and where
  std::string reads;  // what is read there instead
};

const LevelRule& levelRule(Warnings::Level level) {
  static const LevelRule rules[] = {
      [] {
        LevelRule rule{{}, {std::begin(kFieldAliases), std::end(kFieldAliases)}, "the node does not read the field(s)", ""};
        for (const schema::FieldRow& field : schema::kFields) {
          rule.known.insert(rule.known.end(), {field.name, field.mailName});
          rule.reads += (rule.reads.empty() ? "it reads " : ", ") + std::string(field.name) + ", " + field.mailName;
        }
        return rule;
      }(),
      {{schema::kAttachmentName, schema::kAttachmentContentType, schema::kAttachmentData},
       {std::begin(kAttachmentAliases), std::end(kAttachmentAliases)},
       "the node does not read the Attachment child(ren)",
       std::string("an Attachment holds ") + schema::kAttachmentName + ", " + schema::kAttachmentContentType + " and " +
           schema::kAttachmentData},
      {{kBase64, kFile},
       {std::begin(kDataAliases), std::end(kDataAliases)},
       "the runner does not read the Data child(ren)",
       std::string("Data holds text, or one child ") + kBase64 + " (the bytes as base64) or " + kFile + " (a file name)"},
  };
  return rules[level];
}

// The name the user probably meant by `name`, or empty: a name other tools use, the same name
// in another case or spelling, or one a slip away (one edit for short names, two for long).
std::string suggestion(const std::string& name, const LevelRule& rule) {
  const std::string f = folded(name);
  for (const Alias& alias : rule.aliases) {
    if (f == alias.written) return alias.meant;
  }
  std::string best;
  std::size_t bestDistance = 3;
  for (const std::string& known : rule.known) {
    const std::string k = folded(known);
    const std::size_t d = editDistance(f, k);
    if (d < bestDistance && d <= (k.size() <= 5 ? 1u : 2u)) {
      best = known;
      bestDistance = d;
    }
  }
  return best;
}

}  // namespace

std::string counted(std::size_t count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string printable(std::string_view text, bool oneLine, bool keepTab) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (oneLine && (c == '\r' || c == '\n')) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else if ((c < 0x20 && !(keepTab && c == '\t')) || c == 0x7f) {
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
  nodeRecipient_ = namesAnyone(value(schema::name(Attribute::Bcc)));
}

void Warnings::unread(Level level, const std::string& name, const std::string& label) {
  if (unread_[level].names.empty()) unread_[level].first = label;
  unread_[level].names.insert(name);
}

void Warnings::checkMessage(const InputMessage& input) {
  const memhost::Element* top = topElement(*input.message);
  if (top == nullptr) return;
  bool sender = nodeSender_, recipient = nodeRecipient_;
  for (const auto& child : top->children()) {
    const std::string name = child->nameUtf8();
    const schema::FieldRow* field = schema::fieldNamed(name);
    if (field == nullptr) {
      unread(kField, name, input.label);
    } else if (field->role == FieldRole::Sender) {
      sender |= !child->characterValue().empty();
    } else if (field->role == FieldRole::Recipients) {
      if (field->field != schema::Field::ReplyTo) recipient |= namesAnyone(child->text());
      if (commaOutsideQuotes(child->text())) add("comma", input.label + ": field " + name + ": " + kListAdvice);
    } else if (field->role == FieldRole::Headers) {
      for (const auto& header : child->children()) {
        if (const char* why = richmail::headerRefusal(header->nameUtf8()))
          add("header " + header->nameUtf8(), input.label + ": header \"" + header->nameUtf8() + "\" is not sent: " + why);
      }
    } else if (field->role == FieldRole::Attachment) {
      const auto& known = levelRule(kAttachmentPart).known;
      for (const auto& part : child->children()) {
        const std::string partName = part->nameUtf8();
        if (std::find(known.begin(), known.end(), partName) == known.end()) unread(kAttachmentPart, partName, input.label);
        if (partName != schema::kAttachmentData) continue;
        for (const auto& source : part->children()) {
          if (source->nameUtf8() != kBase64 && source->nameUtf8() != kFile) unread(kDataPart, source->nameUtf8(), input.label);
        }
      }
    }
  }
  if (!sender) add("sender", input.label + ": no sender: no SMTPFrom attribute and no From field");
  if (!recipient) {
    add("recipient", input.label + ": no recipient: no To, Cc or Bcc field names anyone (nor the Bcc attribute): "
                                   "the node fails it with \"No recipients found\"");
  }
}

void Warnings::print(std::ostream& err) const {
  for (int level = 0; level < kLevels; ++level) {
    const Unread& names = unread_[level];
    if (names.names.empty()) continue;
    const LevelRule& rule = levelRule(static_cast<Level>(level));
    std::string list;
    std::size_t shown = 0;
    for (const std::string& name : names.names) {
      if (shown++ == 8) {
        list += ", ...";
        break;
      }
      list += (list.empty() ? "" : ", ") + name;
      if (std::string meant = suggestion(name, rule); !meant.empty()) list += " (did you mean " + meant + "?)";
    }
    err << "flowrun: warning: " << rule.intro << ' ' << printable(list) << " (first in " << printable(names.first)
        << "); " << rule.reads << '\n';
  }
  for (const auto& [kind, text] : warnings_) err << "flowrun: warning: " << printable(text) << '\n';
}

}  // namespace flowrun
