// Sender and recipient entries: the splitting of ";"-separated lists, the parts of an entry and
// the check that it holds one address and nothing else, one RCPT TO per entry, and the single
// folded "To:"/"Cc:" field that names each entry so that it parses as that one address.
#include "smtp_internal.h"

namespace smtp {

namespace {

// RFC 5322 specials: a display name holding one is only read as written inside quotes.
constexpr std::string_view kSpecials = "()<>[]:;@\\,.\"";

// Walks a text keeping track of quoted strings (with their backslash escapes).
struct QuoteScan {
  bool quoted = false;
  bool escaped = false;
  // Takes the next character; true when it stands outside quotes (the quotes themselves not).
  bool outside(char c) noexcept {
    if (quoted) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        quoted = false;
      }
      return false;
    }
    if (c == '"') {
      quoted = true;
      return false;
    }
    return true;
  }
};

// True when `name` is exactly one quoted string.
bool isQuotedString(std::string_view name) noexcept {
  if (name.size() < 2 || name.front() != '"') return false;
  QuoteScan scan;
  for (std::size_t i = 0; i < name.size(); ++i) {
    scan.outside(name[i]);
    if (!scan.quoted) return i + 1 == name.size();
  }
  return false;
}

// The text a quoted string stands for: quotes dropped, escapes undone.
std::string unquote(std::string_view name) {
  std::string text;
  for (std::size_t i = 1; i + 1 < name.size(); ++i) {
    if (name[i] == '\\' && i + 2 < name.size()) ++i;
    text += name[i];
  }
  return text;
}

// `text` as one quoted string, '"' and '\' escaped.
std::string quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

void addToken(FieldFolder& folder, std::string_view separator, std::string_view token) {
  if (token.size() + 10 > kMaxLine) {
    folder.addWords(separator, token);
  } else {
    folder.add(separator, token);
  }
}

}  // namespace

EntryParts splitEntry(std::string_view entry) noexcept {
  EntryParts parts;
  const std::string_view text = trimBlanks(entry);
  QuoteScan scan;
  std::size_t open = std::string_view::npos;
  for (std::size_t i = 0; i < text.size() && open == std::string_view::npos; ++i) {
    if (scan.outside(text[i]) && text[i] == '<') open = i;
  }
  if (open == std::string_view::npos) {
    parts.address = text;
    parts.closed = !scan.quoted;
    return parts;
  }
  parts.bracketed = true;
  parts.name = trimBlanks(text.substr(0, open));
  std::size_t close = std::string_view::npos;
  for (std::size_t i = open + 1; i < text.size() && close == std::string_view::npos; ++i) {
    if (scan.outside(text[i]) && text[i] == '>') close = i;
  }
  if (close == std::string_view::npos) {
    parts.address = trimBlanks(text.substr(open + 1));
    parts.closed = false;
    return parts;
  }
  parts.address = trimBlanks(text.substr(open + 1, close - open - 1));
  parts.rest = trimBlanks(text.substr(close + 1));
  return parts;
}

bool sendableEntry(std::string_view entry) noexcept {
  if (hasLineBreak(entry)) return false;
  const EntryParts parts = splitEntry(entry);
  if (!parts.closed || !parts.rest.empty() || parts.address.size() + 2 > kMaxPath) return false;
  QuoteScan scan;
  for (const char c : parts.address) {
    if (scan.outside(c) && (c == '<' || c == '>' || c == ' ' || c == '\t')) return false;
  }
  return !scan.quoted;
}

bool sendableEnvelope(std::string_view from, std::string_view to, std::string_view cc,
                      std::string_view bcc) noexcept {
  if (!sendableEntry(from)) return false;
  for (const std::string_view list : {to, cc, bcc}) {
    if (!forEachEntry(list, [](std::string_view entry) { return sendableEntry(entry); })) return false;
  }
  return true;
}

bool hasRecipient(std::string_view to, std::string_view cc, std::string_view bcc) noexcept {
  for (const std::string_view list : {to, cc, bcc}) {
    if (!forEachEntry(list, [](std::string_view) { return false; })) return true;
  }
  return false;
}

std::size_t entryEnd(std::string_view list, std::size_t from) noexcept {
  QuoteScan scan;
  bool bracket = false;
  for (std::size_t i = from; i < list.size(); ++i) {
    const char c = list[i];
    if (!scan.outside(c)) continue;
    if (c == '<') bracket = true;
    if (c == '>') bracket = false;
    if (c == ';' && !bracket) return i;
  }
  return list.size();
}

bool looksEncoded(std::string_view text) noexcept {
  const std::size_t start = text.find("=?");
  return start != std::string_view::npos && text.find("?=", start + 2) != std::string_view::npos;
}

void addAddress(FieldFolder& folder, std::string_view separator, std::string_view entry) {
  const EntryParts parts = splitEntry(entry);
  if (!parts.bracketed || parts.name.empty()) {
    addToken(folder, separator, trimBlanks(entry));
    return;
  }
  const std::string_view text = trimBlanks(entry);
  const std::string_view angle = text.substr(text.find('<', parts.name.size()));
  const bool quoted = isQuotedString(parts.name);
  const std::string unquoted = quoted ? unquote(parts.name) : std::string(parts.name);
  if (!isAscii(unquoted) || looksEncoded(unquoted) || hasUnfoldableRun(unquoted)) {
    // Encoded-words may not stand inside a quoted string: they carry the text it stood for.
    addEncodedWords(folder, separator, unquoted);
  } else if (quoted || parts.name.find_first_of(kSpecials) == std::string_view::npos) {
    addToken(folder, separator, parts.name);
  } else {
    addToken(folder, separator, quote(parts.name));
  }
  folder.add(" ", angle);
}

void appendAddressField(std::string& out, std::string_view name, std::string_view list) {
  FieldFolder folder(out, name);
  std::string_view separator;
  forEachEntry(list, [&](std::string_view entry) {
    addAddress(folder, separator, entry);
    separator = ", ";
    return true;
  });
  folder.finish();
}

Exchange sendRecipients(ReplyReader& reader, std::string_view list, char* reply, std::string_view* refused) noexcept {
  thread_local std::string line;
  Exchange result{0, false};
  try {
    forEachEntry(list, [&](std::string_view entry) {
      if (!sendableEntry(entry)) {
        result = {SMTP_BAD_PARAMETERS, false};
        return false;
      }
      line.clear();
      appendCommand(line, SMTP_PROTO_RCPT, envelopeAddress(entry));
      result = command(reader, SMTP_PROTO_RCPT, line, reply);
      if (result.code != 0 && !result.lost && refused != nullptr) *refused = envelopeAddress(entry);
      return result.code == 0;
    });
  } catch (...) {
    result = {SMTP_TCPIP_NO_MEMORY, false};
  }
  return result;
}

Exchange sendRecipients(int socket, std::string_view list, char* reply) noexcept {
  PlainStream stream(socket);
  ReplyReader reader(stream);
  return sendRecipients(reader, list, reply);
}

int sendAddressField(int socket, const char* name, std::string_view list) noexcept {
  if (list.empty()) return 0;
  if (hasLineBreak(list)) return SMTP_BAD_PARAMETERS;
  try {
    std::string field;
    appendAddressField(field, name, list);
    return sendBytes(socket, field, writeStallTimeout(SMTP_PROTO_DATA));
  } catch (...) {
    return SMTP_TCPIP_NO_MEMORY;
  }
}

}  // namespace smtp
