// A mail's rich content beside the twelve values of a mail request: the Reply-To list, an HTML
// text, the message's own header fields and its attachments. It travels by pointer from the
// evaluate callback to the SMTP client and never crosses the library's C interface; the rule
// for which header fields a message may add lives here so the runner can warn by the same rule.
#ifndef SENDMAIL_RICH_MAIL_H
#define SENDMAIL_RICH_MAIL_H

#include <cstdint>
#include <string_view>
#include <vector>

namespace richmail {

struct Header {
  std::string_view name, value;
};

struct Attachment {
  std::string_view name;         // the file name, UTF-8; empty: none given
  std::string_view contentType;  // empty or not of the form type/subtype: application/octet-stream
  std::string_view data;         // the bytes as they are to arrive
  bool text = false;             // data came as a character value (UTF-8)
};

// Every view points into storage its builder keeps alive until the mail request returns.
struct RichMail {
  std::string_view replyTo;  // a ";"-separated list like To; empty: the sender, as always
  bool hasHtml = false;
  std::string_view html;
  std::vector<Header> headers;
  std::vector<Attachment> attachments;

  bool multipart() const { return hasHtml || !attachments.empty(); }
};

// Why a header field a message asks for is never sent, or null when it may be. Valid names are
// RFC 5322 field names (printable ASCII but ":") short enough to leave room for a value on the
// line; the fields the node writes itself, and Bcc, which must stay blind, are not the message's.
inline const char* headerRefusal(std::string_view name) noexcept {
  if (name.empty() || name.size() > 76) return "not a valid header field name";
  for (const char c : name) {
    if (c < 33 || c > 126 || c == ':') return "not a valid header field name";
  }
  // Case-insensitive: does the name begin with `own` (lower case), or equal it when `whole`?
  const auto starts = [name](std::string_view own, bool whole) {
    if (name.size() < own.size() || (whole && name.size() != own.size())) return false;
    for (std::size_t i = 0; i < own.size(); ++i) {
      const char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
      if (c != own[i]) return false;
    }
    return true;
  };
  static constexpr std::string_view kOwn[] = {"from",     "to",         "cc",       "bcc",        "date",
                                              "subject",  "message-id", "priority", "importance", "reply-to",
                                              "x-priority", "x-mailer", "mime-version"};
  for (const std::string_view own : kOwn) {
    if (starts(own, true)) return "written by the node itself";
  }
  if (starts("content-", false)) return "written by the node itself";
  return nullptr;
}

}  // namespace richmail

// The mail request with rich content: SendEmailMessage's contract, plus `rich` (null: the mail
// SendEmailMessage sends). Hidden; the evaluate callback calls it in SendEmailMessage's place.
const char* sendEmailMessageRich(const char* serverName, uint16_t port, const char* from, const char* to,
                                 const char* cc, const char* bcc, const char* subject, const char* date,
                                 const char* messageId, const char* body, signed char priority,
                                 const richmail::RichMail* rich, int32_t* code);

#endif
