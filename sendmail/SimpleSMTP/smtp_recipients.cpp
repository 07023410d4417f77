// Recipient lists: the splitting of ";"-separated lists, the envelope address of an entry, one
// RCPT TO per entry, and the single folded "To:"/"Cc:" field that names the entries as written.
#include "smtp_internal.h"

namespace smtp {

std::string_view envelopeAddress(std::string_view entry) noexcept {
  std::string_view text = trimBlanks(entry);
  if (!text.empty() && text.back() == '>') {
    text.remove_suffix(1);
    const std::size_t open = text.find('<');
    text = open == std::string_view::npos ? std::string_view{} : text.substr(open + 1);
  }
  return trimBlanks(text);
}

void addAddress(FieldFolder& folder, std::string_view separator, std::string_view entry) {
  if (!isAscii(entry) || hasUnfoldableRun(entry)) {
    const std::string_view text = trimBlanks(entry);
    const std::size_t open = text.find('<');
    if (!text.empty() && text.back() == '>' && open != std::string_view::npos) {
      std::string_view name = trimBlanks(text.substr(0, open));
      if (!isAscii(name) || hasUnfoldableRun(name)) {
        // Encoded-words may not stand inside a quoted string, so the quotes go.
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
          name = name.substr(1, name.size() - 2);
        addEncodedWords(folder, separator, name);
        folder.add(" ", text.substr(open));
        return;
      }
    }
  }
  if (entry.size() + 10 > kMaxLine) {
    folder.addWords(separator, entry);
  } else {
    folder.add(separator, entry);
  }
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

Exchange sendRecipients(ReplyReader& reader, std::string_view list, char* reply) noexcept {
  thread_local std::string line;
  Exchange result{0, false};
  try {
    forEachEntry(list, [&](std::string_view entry) {
      if (hasLineBreak(entry)) {
        result = {SMTP_BAD_PARAMETERS, false};
        return false;
      }
      line.clear();
      appendCommand(line, SMTP_PROTO_RCPT, envelopeAddress(entry));
      result = command(reader, SMTP_PROTO_RCPT, line, reply);
      return result.code == 0;
    });
  } catch (...) {
    result = {SMTP_TCPIP_NO_MEMORY, false};
  }
  return result;
}

namespace {
int sendAddressField(int socket, const char* name, const char* list) noexcept {
  if (list == nullptr || *list == '\0') return 0;
  if (hasLineBreak(list)) return SMTP_BAD_PARAMETERS;
  try {
    std::string field;
    appendAddressField(field, name, list);
    return sendBytes(socket, field, writeStallTimeout(SMTP_PROTO_DATA));
  } catch (...) {
    return SMTP_TCPIP_NO_MEMORY;
  }
}
}  // namespace

}  // namespace smtp

extern "C" {

SM_API int SmtpSendRcpt(int socket, const char* list, char* replyBuffer) {
  if (list == nullptr || replyBuffer == nullptr) return 0;
  smtp::PlainStream stream(socket);
  smtp::ReplyReader reader(stream);
  return smtp::sendRecipients(reader, list, replyBuffer).code;
}

SM_API int SmtpSendTo(int socket, const char* list) {
  return smtp::sendAddressField(socket, "To:", list);
}

SM_API int SmtpSendCc(int socket, const char* list) {
  return smtp::sendAddressField(socket, "Cc:", list);
}

}  // extern "C"
