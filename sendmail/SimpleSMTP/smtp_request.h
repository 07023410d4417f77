// One mail as the evaluate callback hands it to the SMTP client: the eleven values of
// SendEmailMessage (the MailRequest) and the mail's rich content beside them (a Reply-To list,
// an HTML text, the message's own header fields, attachments). Built once per evaluation and
// passed by reference; it never crosses the library's C interface.
#ifndef SENDMAIL_SIMPLESMTP_SMTP_REQUEST_H
#define SENDMAIL_SIMPLESMTP_SMTP_REQUEST_H

#include <cstdint>
#include <string_view>
#include <vector>

namespace smtp {

// Which of the message's own header fields may go out is decided by common/header_rule.h,
// shared with the runner that warns about the others.
struct RichMail {
  struct Header {
    std::string_view name, value;
  };
  struct Attachment {
    std::string_view name;         // the file name, UTF-8; empty: none given
    std::string_view contentType;  // empty or not of the form type/subtype: application/octet-stream
    std::string_view data;         // the bytes as they are to arrive
    bool text = false;             // data came as a character value (UTF-8)
  };

  std::string_view replyTo = {};  // a ";"-separated list like To; empty: the sender, as always
  bool hasHtml = false;
  std::string_view html = {};
  std::vector<Header> headers = {};
  std::vector<Attachment> attachments = {};

  bool multipart() const { return hasHtml || !attachments.empty(); }
};

// Every view points into storage its builder keeps alive until the client returns. An empty
// RichMail is a plain mail, byte for byte what the eleven values alone give.
struct MailRequest {
  std::string_view serverName = {};  // a name or an address literal; also what its certificate must name
  uint16_t port = 25;
  std::string_view from = {}, to = {}, cc = {}, bcc = {}, subject = {}, date = {}, messageId = {}, body = {};
  signed char priority = 3;
  RichMail rich = {};
  std::string_view accessToken = {};  // the message's own bearer token for AUTH; empty: the node's
};

}  // namespace smtp

#endif
