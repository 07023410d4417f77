// One mail's SMTP dialogue over one new connection: greeting, HELO, MAIL FROM, RCPT TO, DATA,
// the mail data, QUIT, close. Each step's command and reply codes come from SmtpProto; what goes
// out between two replies leaves in one write. Also the checks that refuse unsafe values.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "smtp_internal.h"

namespace smtp {
namespace {

constexpr int kBatch = 1024;  // IOV_MAX on Linux
constexpr const char* kLostText = "Error during communication";

// Values that would start a new command or header line if they held a line break, and
// envelope entries that would carry more than one address (ESMTP parameters, say).
bool unsafe(const SmtpSession& session, std::string_view from, std::string_view to,
            std::string_view cc, std::string_view bcc) noexcept {
  return hasLineBreak(session.localHostName) || hasLineBreak(from) || hasLineBreak(to) ||
         hasLineBreak(cc) || hasLineBreak(bcc) || !sendableEnvelope(from, to, cc, bcc);
}

// The non-empty lists joined by single ";", in the order To, Cc, Bcc.
void joinEnvelope(std::string& out, std::string_view to, std::string_view cc,
                  std::string_view bcc) {
  out.clear();
  for (const std::string_view list : {to, cc, bcc}) {
    if (list.empty()) continue;
    if (!out.empty()) out += ';';
    out += list;
  }
}

// Gathers the mail data for as few writes as possible. Long pieces go out from where they lie;
// short ones (lines, line ends, doubled dots) are first copied into a staging buffer, since
// thousands of tiny pieces in one write cost the kernel more per byte than one copy does.
class WriteBatch {
 public:
  WriteBatch(int fd, Millis stall, std::string& stage, std::size_t stageBytes)
      : fd_(fd), stall_(stall), stage_(stage) {
    if (stage_.size() < stageBytes) stage_.resize(stageBytes);
  }
  WriteBatch(const WriteBatch&) = delete;
  WriteBatch& operator=(const WriteBatch&) = delete;

  int add(const char* data, std::size_t length) noexcept {
    if (length == 0) return 0;
    if (length >= kDirect) {
      if (n_ == kBatch && flush() != 0) return SMTP_TCPIP_ERROR;
      iov_[n_++] = {const_cast<char*>(data), length};
      return 0;
    }
    if (used_ + length > stage_.size() || n_ == kBatch) {
      if (flush() != 0) return SMTP_TCPIP_ERROR;
    }
    char* to = stage_.data() + used_;
    std::memcpy(to, data, length);
    used_ += length;
    if (n_ > 0 && static_cast<char*>(iov_[n_ - 1].iov_base) + iov_[n_ - 1].iov_len == to) {
      iov_[n_ - 1].iov_len += length;  // continues the staged run
    } else {
      iov_[n_++] = {to, length};
    }
    return 0;
  }
  int add(std::string_view text) noexcept { return add(text.data(), text.size()); }

  int flush() noexcept {
    const int rc = n_ > 0 ? sendVector(fd_, iov_, n_, stall_) : 0;
    n_ = 0;
    used_ = 0;
    return rc;
  }

 private:
  static constexpr std::size_t kDirect = 4096;
  int fd_;
  Millis stall_;
  std::string& stage_;
  std::size_t used_ = 0;
  iovec iov_[kBatch];
  int n_ = 0;
};

// Sends the header block, the body and the end-of-data marker. The body goes out from the
// caller's memory (its short pieces through the staging buffer), or from its encoded copy.
int sendMailData(int fd, const MailText& mail, bool mime, std::string& header, std::string& tail) {
  constexpr std::size_t kStageLimit = std::size_t{1} << 20;
  thread_local std::string stage;
  std::string encoded;
  std::string_view body = mail.body;
  if (mail.rich != nullptr && mail.rich->multipart()) {
    appendRichBody(encoded, mail);
    body = encoded;
  } else if (mime) {
    appendQuotedPrintable(encoded, body);
    body = encoded;
  }
  tail.assign("\r\n");
  appendCommand(tail, SMTP_PROTO_END_OF_DATA, {});
  tail += "\r\n";

  // Room for the whole mail with its line ends made CR LF, up to the limit.
  const std::size_t wanted = header.size() + body.size() + body.size() / 8 + tail.size() + 64;
  WriteBatch batch(fd, writeStallTimeout(SMTP_PROTO_END_OF_DATA), stage, std::min(wanted, kStageLimit));
  if (batch.add(header) != 0) return SMTP_TCPIP_ERROR;
  BodySegments segments(body);
  iovec pieces[64];
  for (int count; (count = segments.fill(pieces, 64)) > 0;) {
    for (int i = 0; i < count; ++i) {
      if (batch.add(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len) != 0) return SMTP_TCPIP_ERROR;
    }
  }
  if (batch.add(tail) != 0) return SMTP_TCPIP_ERROR;
  return batch.flush();
}

struct Outcome {
  int code;
  const char* text;
};

Outcome dialogue(int fd, ReplyReader& reader, const SmtpSession& session, const MailText& mail,
                 std::string_view envelope, char* reply) {
  thread_local std::string line;
  thread_local std::string header;

  if (!reader.read(reply, kReplyBufferSize, replyTimeout(SMTP_PROTO_GREETING)))
    return {SMTP_UNLISTED_REPLY, TCPIPErrorString(SMTP_UNLISTED_REPLY)};
  if (const int rc = SmtpGetRc(SmtpProto[SMTP_PROTO_GREETING], reply); rc != 0)
    return {rc, TCPIPErrorString(rc)};

  const auto failed = [&](const Exchange& e) -> Outcome {
    return {e.code, e.lost ? kLostText : reply};
  };
  const auto step = [&](int index, std::string_view argument) {
    line.clear();
    appendCommand(line, index, argument);
    return command(fd, reader, index, line, reply);
  };

  if (const Exchange e = step(SMTP_PROTO_HELO, session.localHostName); e.code != 0) return failed(e);
  if (const Exchange e = step(SMTP_PROTO_MAIL, envelopeAddress(mail.from)); e.code != 0)
    return failed(e);
  if (const Exchange e = sendRecipients(fd, reader, envelope, reply); e.code != 0) return failed(e);
  if (const Exchange e = step(SMTP_PROTO_DATA, {}); e.code != 0) return failed(e);

  const bool mime = needsMime(mail);
  header.clear();
  appendHeaderBlock(header, mail, mime);
  if (sendMailData(fd, mail, mime, header, line) != 0 ||
      !reader.read(reply, kReplyBufferSize, replyTimeout(SMTP_PROTO_END_OF_DATA)))
    return {SMTP_UNLISTED_REPLY, kLostText};
  if (const int rc = SmtpGetRc(SmtpProto[SMTP_PROTO_END_OF_DATA], reply); rc != 0)
    return {rc, reply};

  // The mail is accepted: QUIT's reply, whatever it is, changes nothing.
  step(SMTP_PROTO_QUIT, {});
  return {0, reply};
}

}  // namespace
}  // namespace smtp

int smtp::sendMessage(SmtpSession* session, const char* from, const char* to, const char* cc,
                      const char* bcc, const char* subject, const char* date, const char* messageId,
                      const char* body, signed char priority, const richmail::RichMail* rich,
                      const char** text) {
  using namespace smtp;
  const char* ignored = nullptr;
  if (text == nullptr) text = &ignored;
  const auto orEmpty = [](const char* s) { return std::string_view{s != nullptr ? s : ""}; };
  char* reply = threadReplyBuffer();
  reply[0] = '\0';
  *text = reply;
  if (session == nullptr) {
    *text = TCPIPErrorString(SMTP_TCPIP_CONNECTION_FAILED);
    return SMTP_TCPIP_CONNECTION_FAILED;
  }
  session->localHostName[sizeof session->localHostName - 1] = '\0';
  thread_local std::string boundary;
  boundary.clear();
  if (rich != nullptr && rich->multipart()) boundary = chooseBoundary(*rich);
  const MailText mail{orEmpty(from),      orEmpty(to),   orEmpty(cc),
                      orEmpty(subject),   orEmpty(date), orEmpty(messageId),
                      orEmpty(body),      session->localHostName, priority, rich, boundary};
  // A Reply-To list is held to the rules of To: each entry one address, no line break.
  const bool unsafeReplyTo = rich != nullptr && (hasLineBreak(rich->replyTo) ||
                                                 !forEachEntry(rich->replyTo, [](std::string_view e) { return sendableEntry(e); }));
  if (unsafe(*session, mail.from, mail.to, mail.cc, orEmpty(bcc)) || unsafeReplyTo) {
    *text = SMTPErrorString(SMTP_BAD_PARAMETERS);
    return SMTP_BAD_PARAMETERS;
  }
  int fd = -1;
  try {
    thread_local std::string envelope;
    joinEnvelope(envelope, mail.to, mail.cc, orEmpty(bcc));
    if (const int rc = connectSocket(&fd, session->serverAddress); rc != 0) {
      *text = TCPIPErrorString(rc);
      return rc;
    }
    ReplyReader reader(fd);
    const Outcome outcome = dialogue(fd, reader, *session, mail, envelope, reply);
    *text = outcome.text;
    const int closed = TcpClose(fd);
    return outcome.code != 0 ? outcome.code : closed;
  } catch (...) {
    if (fd != -1) ::close(fd);
    *text = TCPIPErrorString(SMTP_TCPIP_NO_MEMORY);
    return SMTP_TCPIP_NO_MEMORY;
  }
}

extern "C" SM_API int SmtpSendMessage(SmtpSession* session, const char* from, const char* to,
                                      const char* cc, const char* bcc, const char* subject,
                                      const char* date, const char* messageId, const char* body,
                                      signed char priority, const char** text) {
  return smtp::sendMessage(session, from, to, cc, bcc, subject, date, messageId, body, priority, nullptr, text);
}
