// The SMTP client's connection object and one mail's dialogue over it, in three parts: opening
// the session (connect, TLS from the first byte or after STARTTLS, greeting, HELO or EHLO, AUTH),
// the mail transaction (MAIL FROM, RCPT TO, DATA, the mail data) and closing (QUIT). Each step's
// command and reply codes come from the command table; what goes out between two replies leaves
// in one write. Also the checks that refuse unsafe values.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "smtp_internal.h"
#include "smtp_submit.h"

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
  WriteBatch(Stream& stream, Millis stall, std::string& stage, std::size_t stageBytes)
      : stream_(stream), stall_(stall), stage_(stage) {
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
    const int rc = n_ > 0 ? stream_.send(iov_, n_, stall_) : 0;
    n_ = 0;
    used_ = 0;
    return rc;
  }

 private:
  static constexpr std::size_t kDirect = 4096;
  Stream& stream_;
  Millis stall_;
  std::string& stage_;
  std::size_t used_ = 0;
  iovec iov_[kBatch];
  int n_ = 0;
};

struct Outcome {
  int code;
  const char* text;
};

// One connection to the server and everything it owns: the socket, the TLS session, the reply
// reader and the scratch buffers. The session is opened once; a mail transaction may follow
// (several, once connections are kept); close ends it with QUIT.
class Connection {
 public:
  Connection(const SmtpSession& session, const SubmitOptions& options, std::string_view host,
             char* reply) noexcept
      : session_(session), options_(options), host_(host), reply_(reply), plain_(-1),
        reader_(plain_, Bounds{options.timeout}, true) {}
  ~Connection() {
    if (fd_ != -1) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Outcome open();
  Outcome transaction(const MailText& mail, std::string_view envelope);
  // QUIT, whose reply changes nothing, then the close: 0, or SMTP_TCPIP_ERROR when it failed.
  int close();

 private:
  Exchange step(int index, std::string_view argument) {
    line_.clear();
    appendCommand(line_, index, argument);
    return command(reader_, index, line_, reply_);
  }
  Outcome failed(const Exchange& e) const { return {e.code, e.lost ? kLostText : reply_}; }
  // A local failure with a detail after the code's text, held in the reply buffer.
  Outcome explained(int code, std::string_view detail);
  Outcome greet();
  Outcome startTls(Millis bound);
  Outcome authenticate();
  int sendMailData(const MailText& mail, bool mime);

  const SmtpSession& session_;
  const SubmitOptions& options_;
  std::string_view host_;
  char* reply_;
  int fd_ = -1;
  PlainStream plain_;
  std::optional<TlsStream> tls_;
  ReplyReader reader_;
  Extensions offered_;
  std::string line_, header_, tail_, stage_;
};

Outcome Connection::explained(int code, std::string_view detail) {
  const std::string_view text = SMTPErrorString(code);
  std::size_t n = std::min(text.size(), kReplyBufferSize - 1);
  std::memcpy(reply_, text.data(), n);
  if (!detail.empty() && n + 2 < kReplyBufferSize - 1) {
    const std::size_t more = std::min(detail.size(), kReplyBufferSize - 3 - n);
    std::memcpy(reply_ + n, ": ", 2);
    std::memcpy(reply_ + n + 2, detail.data(), more);
    n += 2 + more;
  }
  reply_[n] = '\0';
  return {code, reply_};
}

Outcome Connection::startTls(Millis bound) {
  std::string why;
  tls_.emplace(fd_, *options_.tls);
  if (!tls_->handshake(host_, bound, why)) return explained(SMTP_TLS_FAILED, why);
  reader_.switchTo(*tls_);
  return {0, ""};
}

// The greeting, then HELO; or EHLO with its extensions when the options ask for more.
Outcome Connection::greet() {
  if (const Exchange e = awaitReply(reader_, SMTP_PROTO_GREETING, reply_); e.code != 0)
    return {e.code, TCPIPErrorString(e.code)};
  if (!options_.extended()) {
    const Exchange e = step(SMTP_PROTO_HELO, session_.localHostName);
    return e.code != 0 ? failed(e) : Outcome{0, ""};
  }
  if (const Exchange e = step(kStepEhlo, session_.localHostName); e.code != 0) return failed(e);
  offered_ = parseExtensions(reply_);
  return {0, ""};
}

Outcome Connection::open() {
  // Credentials never go out in clear: refused before anything is sent.
  if (!options_.user.empty() && options_.security == Security::Plain)
    return explained(SMTP_AUTH_UNENCRYPTED, {});
  int rc;
  if (session_.serverAddressCount > 0) {
    rc = connectSocket(&fd_, session_.serverAddresses,
                       std::min<int>(session_.serverAddressCount, SMTP_MAX_SERVER_ADDRESSES),
                       reader_.bounds().connect());
  } else {
    sockaddr_in6 one{};
    std::memcpy(&one, &session_.serverAddress, sizeof session_.serverAddress);
    rc = connectSocket(&fd_, &one, 1, reader_.bounds().connect());
  }
  if (rc != 0) return {rc, TCPIPErrorString(rc)};
  plain_ = PlainStream(fd_);
  if (options_.security == Security::Tls) {
    // TLS from the first byte: the handshake gets the greeting's bound.
    if (const Outcome o = startTls(reader_.bounds().reply(SMTP_PROTO_GREETING)); o.code != 0) return o;
  }
  if (const Outcome o = greet(); o.code != 0) return o;
  if (options_.security == Security::StartTls) {
    if (!offered_.startTls) return explained(SMTP_STARTTLS_NOT_OFFERED, {});
    if (const Exchange e = step(kStepStartTls, {}); e.code != 0) return failed(e);
    if (const Outcome o = startTls(reader_.bounds().reply(kStepStartTls)); o.code != 0) return o;
    // What the server offered in clear no longer counts (RFC 3207): ask again.
    if (const Exchange e = step(kStepEhlo, session_.localHostName); e.code != 0) return failed(e);
    offered_ = parseExtensions(reply_);
  }
  if (!options_.user.empty()) return authenticate();
  return {0, ""};
}

namespace {
// Base64 of `text` appended to `out`, by OpenSSL.
void appendBase64(std::string& out, std::string_view text) {
  const std::size_t at = out.size();
  out.resize(at + 4 * ((text.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + at),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  out.resize(at + static_cast<std::size_t>(n));
}

// Blanks out every occurrence of `secret` in the reply, should a server echo what it was sent.
void scrub(char* reply, std::string_view secret) noexcept {
  if (secret.size() < 3) return;
  const std::string_view text(reply);
  for (std::size_t at = text.find(secret); at != std::string_view::npos;
       at = text.find(secret, at + secret.size()))
    std::memset(reply + at, '*', secret.size());
}
}  // namespace

// AUTH PLAIN (one command) or LOGIN (user and password answered to two challenges), whichever
// the server offers, PLAIN first. The lines holding credentials are wiped once sent.
Outcome Connection::authenticate() {
  if (!offered_.authPlain && !offered_.authLogin) return explained(SMTP_AUTH_NOT_OFFERED, {});
  std::string secret;
  const auto answer = [&](std::string_view text, bool command) {
    std::string credential(text);
    line_.assign(command ? "AUTH PLAIN " : "");
    const std::size_t start = line_.size();
    appendBase64(line_, credential);
    secret.assign(line_, start);
    const Exchange e = smtp::command(reader_, kStepAuth, line_, reply_);
    OPENSSL_cleanse(line_.data(), line_.size());
    OPENSSL_cleanse(credential.data(), credential.size());
    scrub(reply_, secret);
    scrub(reply_, options_.password);
    OPENSSL_cleanse(secret.data(), secret.size());
    return e;
  };
  const auto done = [&](const Exchange& e, const char* expected) -> Outcome {
    if (e.code != 0) return failed(e);
    if (std::strncmp(reply_, expected, 3) != 0) return {SMTP_UNLISTED_REPLY, reply_};
    return {0, ""};
  };
  if (offered_.authPlain) {
    std::string plain;
    plain.push_back('\0');
    plain.append(options_.user);
    plain.push_back('\0');
    plain.append(options_.password);
    const Exchange e = answer(plain, true);
    OPENSSL_cleanse(plain.data(), plain.size());
    return done(e, "235");
  }
  if (const Outcome o = done(step(kStepAuth, "LOGIN"), "334"); o.code != 0) return o;
  if (const Outcome o = done(answer(options_.user, false), "334"); o.code != 0) return o;
  return done(answer(options_.password, false), "235");
}

// Sends the header block, the body and the end-of-data marker. The body goes out from the
// caller's memory (its short pieces through the staging buffer), or from its encoded copy.
int Connection::sendMailData(const MailText& mail, bool mime) {
  constexpr std::size_t kStageLimit = std::size_t{1} << 20;
  std::string encoded;
  std::string_view body = mail.body;
  if (mail.rich != nullptr && mail.rich->multipart()) {
    appendRichBody(encoded, mail);
    body = encoded;
  } else if (mime) {
    appendQuotedPrintable(encoded, body);
    body = encoded;
  }
  tail_.assign("\r\n");
  appendCommand(tail_, SMTP_PROTO_END_OF_DATA, {});
  tail_ += "\r\n";

  // Room for the whole mail with its line ends made CR LF, up to the limit.
  const std::size_t wanted = header_.size() + body.size() + body.size() / 8 + tail_.size() + 64;
  WriteBatch batch(reader_.stream(), reader_.bounds().stall(SMTP_PROTO_END_OF_DATA), stage_,
                   std::min(wanted, kStageLimit));
  if (batch.add(header_) != 0) return SMTP_TCPIP_ERROR;
  BodySegments segments(body);
  iovec pieces[64];
  for (int count; (count = segments.fill(pieces, 64)) > 0;) {
    for (int i = 0; i < count; ++i) {
      if (batch.add(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len) != 0) return SMTP_TCPIP_ERROR;
    }
  }
  if (batch.add(tail_) != 0) return SMTP_TCPIP_ERROR;
  return batch.flush();
}

namespace {
// Whether an envelope address needs SMTPUTF8: the sender's or any recipient's is not ASCII.
bool needsUtf8(const MailText& mail, std::string_view envelope) {
  bool wide = !isAscii(envelopeAddress(mail.from));
  forEachEntry(envelope, [&](std::string_view entry) {
    wide = wide || !isAscii(envelopeAddress(entry));
    return !wide;
  });
  return wide;
}
}  // namespace

Outcome Connection::transaction(const MailText& mail, std::string_view envelope) {
  bool utf8 = false;
  if (options_.extended() && needsUtf8(mail, envelope)) {
    if (!offered_.smtpUtf8) return explained(SMTP_NO_SMTPUTF8, {});
    utf8 = true;
  }
  line_.clear();
  appendCommand(line_, SMTP_PROTO_MAIL, envelopeAddress(mail.from));
  if (utf8) line_ += " SMTPUTF8";
  if (const Exchange e = command(reader_, SMTP_PROTO_MAIL, line_, reply_); e.code != 0) return failed(e);
  if (const Exchange e = sendRecipients(reader_, envelope, reply_); e.code != 0) return failed(e);
  // The header block is made first, so that the data follows the 354 at once.
  const bool mime = needsMime(mail);
  header_.clear();
  appendHeaderBlock(header_, mail, mime);
  if (const Exchange e = step(SMTP_PROTO_DATA, {}); e.code != 0) return failed(e);
  reader_.dropStray();
  if (sendMailData(mail, mime) != 0) {
    // The server may have refused during the data and closed: its reply, if it can still be
    // read, says why better than the failed write.
    constexpr Millis kAfterFailure{1000};
    const Millis bound = std::min(kAfterFailure, reader_.bounds().reply(SMTP_PROTO_END_OF_DATA));
    if (!reader_.read(reply_, kReplyBufferSize, bound)) return {SMTP_UNLISTED_REPLY, kLostText};
    const int rc = judge(SMTP_PROTO_END_OF_DATA, reply_);
    return {rc != 0 ? rc : SMTP_UNLISTED_REPLY, reply_};
  }
  if (const Exchange e = awaitReply(reader_, SMTP_PROTO_END_OF_DATA, reply_); e.code != 0) return failed(e);
  return {0, reply_};
}

int Connection::close() {
  step(SMTP_PROTO_QUIT, {});
  if (tls_) tls_->shutdown();
  return TcpClose(std::exchange(fd_, -1));
}

}  // namespace

// The mail over one new connection with the given options; the code, with *text set.
int sendMessage(SmtpSession* session, const SubmitOptions& options, std::string_view host,
                const char* from, const char* to, const char* cc, const char* bcc,
                const char* subject, const char* date, const char* messageId, const char* body,
                signed char priority, const richmail::RichMail* rich, const char** text) noexcept {
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
  try {
    std::string envelope;
    joinEnvelope(envelope, mail.to, mail.cc, orEmpty(bcc));
    Connection connection(*session, options, host, reply);
    Outcome outcome = connection.open();
    if (outcome.code == 0) outcome = connection.transaction(mail, envelope);
    *text = outcome.text;
    if (outcome.code != 0) return outcome.code;
    return connection.close();
  } catch (...) {
    *text = TCPIPErrorString(SMTP_TCPIP_NO_MEMORY);
    return SMTP_TCPIP_NO_MEMORY;
  }
}

}  // namespace smtp

extern "C" SM_API int SmtpSendMessage(SmtpSession* session, const char* from, const char* to,
                                      const char* cc, const char* bcc, const char* subject,
                                      const char* date, const char* messageId, const char* body,
                                      signed char priority, const char** text) {
  static const smtp::SubmitOptions plain;
  return smtp::sendMessage(session, plain, {}, from, to, cc, bcc, subject, date, messageId, body,
                           priority, nullptr, text);
}
