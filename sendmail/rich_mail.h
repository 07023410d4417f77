// A mail's rich content beside the twelve values of a mail request: the Reply-To list, an HTML
// text, the message's own header fields and its attachments. It travels by pointer from the
// evaluate callback to the SMTP client (smtp::sendEmail) and never crosses the library's C
// interface. Which header fields a message may add is decided in common/header_rule.h, shared
// with the runner.
#ifndef SENDMAIL_RICH_MAIL_H
#define SENDMAIL_RICH_MAIL_H

#include <string_view>
#include <vector>

#include "header_rule.h"

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

}  // namespace richmail

#endif
