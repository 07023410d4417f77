// One connection to the server and one mail's dialogue over it, in three parts: opening the
// session (connect, TLS from the first byte or after STARTTLS, greeting, HELO or EHLO, AUTH), the
// mail transaction (MAIL FROM, RCPT TO, DATA, the mail data; pipelined or one by one) and closing
// (RSET, QUIT). Each step's command and reply codes come from the command table; what goes out
// between two replies leaves in one write.
#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>
#include <vector>

#include "smtp_connection.h"

namespace smtp {
namespace {

constexpr int kBatch = 1024;  // IOV_MAX on Linux

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
    if (counting_) {
      bytes_ += length;
      lines_ += static_cast<std::size_t>(std::count(data, data + length, '\n'));
    }
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

  // For a trace: from now on count the bytes and line ends that go out.
  void count() noexcept { counting_ = true; }
  std::size_t bytes() const noexcept { return bytes_; }
  std::size_t lines() const noexcept { return lines_; }

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
  bool counting_ = false;
  std::size_t bytes_ = 0, lines_ = 0;
};

// Whether a connect that failed with `error` ran out of its bound rather than being refused.
bool connectTimedOut(int error) noexcept {
  return error == 0 || error == EINPROGRESS || error == EAGAIN || error == ETIMEDOUT || error == EALREADY;
}
}  // namespace

std::string boundText(Millis bound) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(bound.count()) / 1000);
  return text;
}

Connection::Connection(const SmtpSession& session, const SubmitOptions& options, std::string_view host, char* reply)
    : session_(session), options_(options), host_(host), reply_(reply), plain_(-1),
      reader_(plain_, Bounds{options.timeout}, true) {
  if (options.trace != nullptr) {
    tracer_.emplace(options.trace, serverLabel());
    reader_.trace(&*tracer_);
  }
}

std::string Connection::serverLabel() const {
  const uint16_t port = ntohs(session_.serverAddress.sin_port);
  std::string host = host_;
  if (host.empty()) {  // a session handed in through the exported entry: its address
    char text[INET6_ADDRSTRLEN] = "";
    const sockaddr_in6& first = session_.serverAddresses[0];
    if (session_.serverAddressCount > 0 && first.sin6_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &first.sin6_addr, text, sizeof text);
    } else {
      const auto& v4 = session_.serverAddressCount > 0 ? reinterpret_cast<const sockaddr_in&>(first) : session_.serverAddress;
      ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    }
    host = text;
  }
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

std::string Connection::noGreeting(const Exchange& e) const {
  const ReplyReader::Ending& end = reader_.ending();
  const std::string server = serverLabel();
  const bool plainSide = options_.security != Security::Tls;
  if (!e.lost) return server + " greeted with a line that is no reply";
  // A TLS record: content type 20 to 23, then major version 3.
  if (end.got == 2 && end.first[0] >= 0x14 && end.first[0] <= 0x17 && end.first[1] == 0x03) {
    return server + " answered in TLS, not with a greeting" +
           (plainSide ? ": it wants TLS from the first byte: set Security=tls" : "");
  }
  const std::string bound = boundText(reader_.bounds().reply(SMTP_PROTO_GREETING));
  if (end.silent && end.got == 0) {
    return server + " sent nothing within " + bound +
           (plainSide ? " (a server of TLS from the first byte, as on port 465, waits for the client to begin: "
                        "then set Security=tls)"
                      : "");
  }
  if (end.silent) return server + " sent no complete greeting within " + bound;
  return server + " closed the connection without a greeting";
}

Connection::~Connection() {
  if (fd_ != -1) closeDescriptor();
}

// Under MaxConnections a connection counts until the server has let it go too: the client says
// it is done (FIN) and drops what still comes until the server's close, or the bound.
int Connection::closeDescriptor() noexcept {
  const int fd = std::exchange(fd_, -1);
  if (linger_.count() > 0 && ::shutdown(fd, SHUT_WR) == 0) {
    const auto deadline = std::chrono::steady_clock::now() + linger_;
    char scratch[4096];
    for (;;) {
      const auto left = std::chrono::ceil<Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !waitReadable(fd, left)) break;
      const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;  // closed, or failed
    }
  }
  return closeSocket(fd);
}

bool Connection::quiet() noexcept { return tls_ ? tls_->quiet() : plain_.quiet(); }

Exchange Connection::step(int index, std::string_view argument) {
  thread_local std::string line;
  line.clear();
  appendCommand(line, index, argument);
  at_ = index;
  return command(reader_, index, line, reply_);
}

Outcome Connection::failed(const Exchange& e) {
  after_ = e.lost || std::strncmp(reply_, "421", 3) == 0 ? After::Dead : After::Synced;
  if (e.lost && tls_ && !tls_->refusedBeforeData().empty()) {
    // The handshake's refusal, though it shows only at the first read after it.
    at_ = kTlsStep;
    return explained(SMTP_TLS_FAILED, tls_->refusedBeforeData());
  }
  Outcome o = ended(e.code, e.lost ? kLostText : reply_, e.lost);
  if (at_ == SMTP_PROTO_RCPT && !e.lost) o.recipient = refused_;
  return o;
}

// A pipelined batch whose replies do not fit its commands: nothing said on this connection can
// be trusted any more (Postfix keeps no session after a protocol error), so it is only closed.
// Nothing of the mail data has gone out, so the mail may go over a new connection.
Outcome Connection::outOfStep(std::string_view detail) {
  after_ = After::Dead;
  const std::string copy(detail);  // it may lie in the reply buffer the text is written to
  Outcome o = explained(SMTP_OUT_OF_STEP, copy);
  o.lost = true;
  return o;
}

bool Connection::aside(int index, const char* expected) {
  thread_local std::string line, reply;
  reply.resize(kReplyBufferSize);
  line.clear();
  appendCommand(line, index, {});
  return command(reader_, index, line, reply.data()).code == 0 && std::strncmp(reply.data(), expected, 3) == 0;
}

Outcome Connection::explained(int code, std::string_view detail, const char* base) {
  const std::string_view text = base != nullptr ? base : errorText(code);
  std::size_t n = std::min(text.size(), kReplyBufferSize - 1);
  std::memcpy(reply_, text.data(), n);
  if (!detail.empty() && n + 2 < kReplyBufferSize - 1) {
    const std::size_t more = std::min(detail.size(), kReplyBufferSize - 3 - n);
    std::memcpy(reply_ + n, ": ", 2);
    std::memcpy(reply_ + n + 2, detail.data(), more);
    n += 2 + more;
  }
  reply_[n] = '\0';
  return ended(code, reply_);
}

Outcome Connection::startTls(Millis bound, bool afterStartTls) {
  std::string why;
  if (!afterStartTls) at_ = kTlsStep;  // after STARTTLS the handshake is that command's step
  tls_.emplace(fd_, *options_.tls, serverLabel());
  if (!tls_->handshake(host_, bound, afterStartTls, why)) {
    Outcome o = explained(SMTP_TLS_FAILED, why);
    o.lost = tls_->lost();
    return o;
  }
  reader_.switchTo(*tls_);
  if (tracer_) tracer_->note(tls_->summary());
  return ended(0, "");
}

// The greeting, then HELO; or EHLO with its extensions when the options ask for more. A server
// that refuses to greet says why in its reply, which is handed out; one that stays silent,
// closes or sends something too short to be a reply gets the fixed text and what the wait saw.
Outcome Connection::greet() {
  at_ = SMTP_PROTO_GREETING;
  if (const Exchange e = awaitReply(reader_, SMTP_PROTO_GREETING, reply_); e.code != 0) {
    if (e.lost && tls_ && !tls_->refusedBeforeData().empty()) return failed(e);
    if (!e.lost && hasReplyCode(reply_)) return ended(e.code, reply_);
    // A mismatch of TLS and plain SMTP shows here: the text names the other Security value.
    const std::string why = noGreeting(e);
    Outcome o = explained(e.code, why, tcpErrorText(e.code));
    o.lost = true;  // silence, a close or a line that is no reply: no refusal to go by
    return o;
  }
  if (!options_.extended()) {
    const Exchange e = step(SMTP_PROTO_HELO, session_.localHostName);
    return e.code != 0 ? failed(e) : ended(0, "");
  }
  if (const Exchange e = step(kStepEhlo, session_.localHostName); e.code != 0) return failed(e);
  offered_ = parseExtensions(reply_);
  return ended(0, "");
}

Outcome Connection::open(std::string_view token) {
  // Credentials never go out in clear: refused before anything is sent.
  if (!options_.user.empty() && options_.security == Security::Plain)
    return explained(SMTP_AUTH_UNENCRYPTED, {});
  at_ = kConnectStep;
  int error = 0;
  if (const int rc = connectSession(&fd_, session_, reader_.bounds().connect(), &error); rc != 0) {
    if (rc != SMTP_TCPIP_CONNECTION_FAILED) return ended(rc, tcpErrorText(rc));
    // Where and why: a refusal in the system's words, a black hole as the bound that ran out.
    return explained(rc, serverLabel() + ": " +
                             (connectTimedOut(error) ? "no answer within " + boundText(reader_.bounds().connect())
                                                     : std::generic_category().message(error)));
  }
  plain_ = PlainStream(fd_);
  if (options_.security == Security::Tls) {
    // TLS from the first byte: the handshake gets the greeting's bound.
    if (const Outcome o = startTls(reader_.bounds().reply(SMTP_PROTO_GREETING), false); o.code != 0) return o;
  }
  if (const Outcome o = greet(); o.code != 0) return o;
  if (options_.security == Security::StartTls) {
    if (!offered_.startTls) return explained(SMTP_STARTTLS_NOT_OFFERED, {});
    if (const Exchange e = step(kStepStartTls, {}); e.code != 0) return failed(e);
    if (const Outcome o = startTls(reader_.bounds().reply(kStepStartTls), true); o.code != 0) return o;
    // What the server offered in clear no longer counts (RFC 3207): ask again.
    if (const Exchange e = step(kStepEhlo, session_.localHostName); e.code != 0) return failed(e);
    offered_ = parseExtensions(reply_);
  }
  if (!options_.user.empty()) return authenticate(token);
  return ended(0, "");
}

namespace {
// What a server could echo of the credentials, as the reader hands it on: the password, its
// base64 (LOGIN's answer) and the PLAIN blob's. A short password would match ordinary words,
// and control bytes reach the reply changed: such a password cannot be looked for.
void makeSecrets(Secrets& out, std::string_view user, std::string_view password) {
  constexpr std::size_t kShortest = 4;
  const bool control = std::any_of(password.begin(), password.end(), [](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
  });
  out.withhold = password.size() < kShortest || control;
  if (out.withhold) return;
  out.forms.emplace_back(password);
  appendBase64(out.forms.emplace_back(), password);
  std::string plain(1, '\0');
  plain.append(user).push_back('\0');
  plain.append(password);
  appendBase64(out.forms.emplace_back(), plain);
  OPENSSL_cleanse(plain.data(), plain.size());
}
}  // namespace

// AUTH PLAIN (one command) or LOGIN (user and password answered to two challenges), whichever
// the server offers, PLAIN first, or the one SMTPAuth names; or a bearer token. The lines
// holding credentials are wiped once sent; from the first of them on, every reply of the
// connection is read with the secrets starred out.
Outcome Connection::authenticate(std::string_view token) {
  const AuthMechanism named = options_.mechanism;
  if (options_.bearer()) return bearer(token);
  const bool usePlain = offered_.authPlain && named != AuthMechanism::Login;
  if (!usePlain && !(offered_.authLogin && named != AuthMechanism::Plain))
    return explained(SMTP_AUTH_NOT_OFFERED, named == AuthMechanism::Offered ? ""
                                            : named == AuthMechanism::Plain ? "it does not offer PLAIN"
                                                                            : "it does not offer LOGIN");
  at_ = kStepAuth;
  makeSecrets(secrets_, options_.user, options_.password);
  reader_.conceal(&secrets_);
  const auto answer = [&](std::string_view text, bool command) {
    thread_local std::string line;
    line.assign(command ? "AUTH PLAIN " : "");
    appendBase64(line, text);
    const Exchange e = smtp::command(reader_, kStepAuth, line, reply_);
    OPENSSL_cleanse(line.data(), line.size());
    return e;
  };
  const auto done = [&](const Exchange& e, const char* expected) -> Outcome {
    if (e.code != 0) return failed(e);
    if (std::strncmp(reply_, expected, 3) != 0) return ended(SMTP_UNLISTED_REPLY, reply_);
    return ended(0, "");
  };
  if (usePlain) {
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

// Sends the header block, the body and the end-of-data marker. A plain body goes out from the
// caller's memory (its short pieces through the staging buffer); an encoded one is made and sent
// a stretch at a time, so the client never holds an encoded copy of a text or an attachment.
int Connection::sendMailData(const MailText& mail, bool mime, std::string_view header) {
  constexpr std::size_t kStageLimit = std::size_t{1} << 20;
  constexpr std::size_t kStretch = std::size_t{256} << 10;
  const bool parts = mail.rich != nullptr && mail.rich->multipart();
  std::optional<EncodedBody> encoded;
  if (parts || mime) encoded.emplace(mail, parts);
  thread_local std::string tail, stage;
  tail.assign("\r\n");
  appendCommand(tail, SMTP_PROTO_END_OF_DATA, {});
  tail += "\r\n";

  // Room for the whole mail with its line ends made CR LF, up to the limit; a stretch of an
  // encoded body goes out from where it lies, unless it is short.
  const std::size_t body = encoded ? std::size_t{4096} : mail.body.size() + mail.body.size() / 8;
  WriteBatch batch(reader_.stream(), reader_.bounds().stall(SMTP_PROTO_END_OF_DATA), stage,
                   std::min(header.size() + body + tail.size() + 64, kStageLimit));
  if (tracer_) batch.count();
  if (batch.add(header) != 0) return SMTP_TCPIP_ERROR;
  std::string stretch;  // of an encoded body; the last one goes out with the end of the data
  iovec pieces[64];
  const auto add = [&](BodySegments& segments) {
    for (int count; (count = segments.fill(pieces, 64)) > 0;) {
      for (int i = 0; i < count; ++i) {
        if (batch.add(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len) != 0) return false;
      }
    }
    return true;
  };
  if (!encoded) {
    BodySegments segments(mail.body);
    if (!add(segments)) return SMTP_TCPIP_ERROR;
  } else {
    bool lineStart = true;
    while (!encoded->done()) {
      stretch.clear();
      encoded->next(stretch, kStretch);
      BodySegments segments(stretch, lineStart);
      lineStart = stretch.empty() ? lineStart : stretch.back() == '\n';
      if (!add(segments)) return SMTP_TCPIP_ERROR;
      // The writes may point into the stretch, which the next one overwrites.
      if (!encoded->done() && batch.flush() != 0) return SMTP_TCPIP_ERROR;
    }
  }
  if (batch.add(tail) != 0) return SMTP_TCPIP_ERROR;
  const int rc = batch.flush();
  if (tracer_ && rc == 0) {
    // The data as it went out (dots doubled), the end-of-data line not counted.
    tracer_->note("mail data sent: " + std::to_string(batch.bytes() - 3) + " bytes, " +
                  std::to_string(batch.lines() - 1) + " lines");
    tracer_->sent(".");
  }
  return rc;
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
  at_ = SMTP_PROTO_MAIL;
  bool utf8 = false;
  if (options_.extended() && needsUtf8(mail, envelope)) {
    if (!offered_.smtpUtf8) return explained(SMTP_NO_SMTPUTF8, {});
    utf8 = true;
  }
  after_ = After::Synced;
  refused_ = {};
  thread_local std::string mailFrom, header;
  mailFrom.clear();
  appendCommand(mailFrom, SMTP_PROTO_MAIL, envelopeAddress(mail.from));
  if (utf8) mailFrom += " SMTPUTF8";
  // The header block is made first, so that the data follows the 354 at once.
  const bool mime = needsMime(mail);
  header.clear();
  appendHeaderBlock(header, mail, mime);
  if (offered_.pipelining && options_.pool != nullptr) {
    if (const Outcome o = pipelined(mailFrom, envelope); o.code != 0) return o;
  } else {
    if (const Exchange e = command(reader_, SMTP_PROTO_MAIL, mailFrom, reply_); e.code != 0) return failed(e);
    at_ = SMTP_PROTO_RCPT;
    if (const Exchange e = sendRecipients(reader_, envelope, reply_, &refused_); e.code != 0) return failed(e);
    if (const Exchange e = step(SMTP_PROTO_DATA, {}); e.code != 0) return failed(e);
  }
  reader_.dropStray();
  // From here on the mail may arrive: nothing below is ever retried.
  after_ = After::Broken;
  at_ = SMTP_PROTO_END_OF_DATA;
  if (sendMailData(mail, mime, header) != 0) {
    // The server may have refused during the data and closed: its reply, if it can still be
    // read, says why better than the failed write.
    constexpr Millis kAfterFailure{1000};
    const Millis bound = std::min(kAfterFailure, reader_.bounds().reply(SMTP_PROTO_END_OF_DATA));
    if (!reader_.read(reply_, kReplyBufferSize, bound)) return ended(SMTP_UNLISTED_REPLY, kLostText, true);
    const int rc = judge(SMTP_PROTO_END_OF_DATA, reply_);
    return ended(rc != 0 ? rc : SMTP_UNLISTED_REPLY, reply_);
  }
  const Exchange e = awaitReply(reader_, SMTP_PROTO_END_OF_DATA, reply_);
  after_ = e.lost ? After::Broken : After::Synced;
  if (e.code != 0) return ended(e.code, e.lost ? kLostText : reply_, e.lost);
  Outcome o = ended(0, reply_);
  if (tls_) {
    o.tlsVersion = tls_->version();
    o.tlsCipher = tls_->cipher();
  }
  return o;
}

namespace {
// Whether a reply can be the answer to a command of a pipelined batch at all: a reply code of
// the classes 2 to 5, an intermediate 3yz only to DATA, and never a completion 2yz to DATA
// (RFC 5321 section 4.3.2). A line that is no reply, or a code the command cannot give, means
// the replies and the commands no longer pair up.
bool fitsStep(int step, const char* reply) noexcept {
  if (!hasReplyCode(reply) || reply[0] < '2' || reply[0] > '5') return false;
  return step == SMTP_PROTO_DATA ? reply[0] != '2' : reply[0] != '3';
}
}  // namespace

// RFC 2920: MAIL FROM, every RCPT TO and DATA in one write, then their replies in order, each
// judged as the one-by-one dialogue judges it; the first refusal is the outcome, as it would
// have been without pipelining. Replies out of step with the commands fail the mail instead.
Outcome Connection::pipelined(std::string_view mailFrom, std::string_view envelope) {
  // The thread's buffers: a batch costs no allocation once they have grown.
  thread_local std::string out;
  thread_local std::vector<int> steps;
  thread_local std::vector<std::string_view> addresses;  // each step's recipient, for a refusal's detail
  out.assign(mailFrom).append("\r\n");
  steps.assign(1, SMTP_PROTO_MAIL);
  addresses.assign(1, {});
  forEachEntry(envelope, [&](std::string_view entry) {
    appendCommand(out, SMTP_PROTO_RCPT, envelopeAddress(entry));
    out += "\r\n";
    steps.push_back(SMTP_PROTO_RCPT);
    addresses.push_back(envelopeAddress(entry));
    return true;
  });
  appendCommand(out, SMTP_PROTO_DATA, {});
  out += "\r\n";
  steps.push_back(SMTP_PROTO_DATA);
  reader_.dropStray();
  if (tracer_) tracer_->sent(out);
  iovec one{out.data(), out.size()};
  at_ = SMTP_PROTO_MAIL;
  if (reader_.stream().send(&one, 1, reader_.bounds().stall(SMTP_PROTO_MAIL)) != 0)
    return failed({kLost, true});
  Exchange first{0, false};
  thread_local std::string firstText;
  firstText.clear();
  int firstStep = SMTP_PROTO_MAIL;
  bool broken = false;  // after the refusal: only good for closing
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const int index = steps[i];
    at_ = index;
    const Exchange e = awaitReply(reader_, index, reply_);
    if (e.lost) {
      if (first.code == 0) return failed(e);
      broken = true;
      break;
    }
    if (!fitsStep(index, reply_)) return outOfStep(reply_);
    if (e.code != 0 && first.code == 0) {
      first = e;
      firstText = reply_;
      firstStep = index;
      refused_ = i < addresses.size() ? addresses[i] : std::string_view{};
    }
    // DATA accepted after a refusal: the transaction can only be abandoned by closing.
    if (index == SMTP_PROTO_DATA && e.code == 0 && first.code != 0) broken = true;
  }
  // A reply too many (one already waiting after DATA's): the replies read were not the answers.
  if (!broken && reader_.more()) return outOfStep("more replies than commands");
  if (first.code == 0) return ended(0, "");
  std::memcpy(reply_, firstText.c_str(), firstText.size() + 1);
  at_ = firstStep;
  const Outcome o = failed(first);
  if (broken && after_ == After::Synced) after_ = After::Broken;
  return o;
}

bool Connection::reset() { return aside(kStepRset, "250"); }

int Connection::close() {
  aside(SMTP_PROTO_QUIT, "221");
  if (tls_) tls_->shutdown();
  return closeDescriptor();
}

void Connection::quit() noexcept {
  static constexpr char kQuit[] = "QUIT\r\n";
  reader_.dropStray();
  if (tracer_) tracer_->sent(kQuit);
  iovec line{const_cast<char*>(kQuit), sizeof kQuit - 1};
  reader_.stream().send(&line, 1, Millis{0});
  if (tls_) tls_->shutdown();
}

namespace {
// RFC 4954: an AUTH command line holds at most 12 288 octets, its CR LF included.
constexpr std::size_t kAuthLineLimit = 12288;

// The SASL initial response: XOAUTH2's, or OAUTHBEARER's (RFC 7628: the GS2 header with the
// user's "," and "=" escaped, then host, port and the token, each ended by 0x01).
void appendBearerResponse(std::string& out, bool xoauth2, std::string_view user, std::string_view token,
                          std::string_view host, uint16_t port) {
  if (xoauth2) {
    out.append("user=").append(user).append("\x01" "auth=Bearer ").append(token).append("\x01\x01");
    return;
  }
  out.append("n,a=");
  for (const char c : user) out.append(c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c));
  out.append(",\x01" "host=").append(host).append("\x01" "port=").append(std::to_string(port));
  out.append("\x01" "auth=Bearer ").append(token).append("\x01\x01");
}
}  // namespace

std::string challengeStatus(std::string_view reply) {
  if (reply.size() < 4 || reply.substr(0, 4) != "334 ") return {};
  reply.remove_prefix(4);
  reply = reply.substr(0, std::min(reply.find_first_of("\r\n"), std::size_t{4096}));
  std::string decoded(reply.size() * 3 / 4 + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                reinterpret_cast<const unsigned char*>(reply.data()), static_cast<int>(reply.size()));
  if (n <= 0) return {};
  decoded.resize(static_cast<std::size_t>(n));
  // Nothing below the challenge's own members is kept (nor parsed recursively).
  const nlohmann::json json =
      nlohmann::json::parse(decoded, [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) { return depth <= 1; },
                            false);
  if (!json.is_object() || !json.contains("status")) return {};
  const nlohmann::json& status = json["status"];
  std::string text = status.is_string() ? status.get<std::string>() : status.is_number() ? status.dump() : "";
  std::erase_if(text, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.'; });
  return text.substr(0, 40);
}

// XOAUTH2 or OAUTHBEARER: the initial response on the AUTH line while that line stays within
// RFC 4954's bound, else after an empty 334. A refusal comes as a 334 with a base64 JSON
// challenge: answered as the mechanism wants (an empty line; RFC 7628's 0x01), then the final
// reply, its status added to the text.
Outcome Connection::bearer(std::string_view token) {
  const bool xoauth2 = options_.mechanism == AuthMechanism::XOAuth2;
  const char* name = xoauth2 ? "XOAUTH2" : "OAUTHBEARER";
  if (!(xoauth2 ? offered_.authXOAuth2 : offered_.authOAuthBearer))
    return explained(SMTP_AUTH_NOT_OFFERED, std::string("it does not offer ") + name);
  at_ = kStepAuth;
  std::string response;
  appendBearerResponse(response, xoauth2, options_.user, token, host_,
                       ntohs(session_.serverAddress.sin_port));
  thread_local std::string line;
  line.assign("AUTH ").append(name).push_back(' ');
  const std::size_t blob = line.size();
  appendBase64(line, response);
  OPENSSL_cleanse(response.data(), response.size());
  secrets_.withhold = token.size() < 4;
  if (!secrets_.withhold) {
    secrets_.forms.emplace_back(token);
    secrets_.forms.emplace_back(line.substr(blob));
  }
  reader_.conceal(&secrets_);
  Exchange e;
  if (line.size() + 2 <= kAuthLineLimit) {
    e = smtp::command(reader_, kStepAuth, line, reply_);
  } else if ((e = step(kStepAuth, name)).code == 0 && std::strncmp(reply_, "334", 3) == 0) {
    e = smtp::command(reader_, kStepAuth, std::string_view(line).substr(blob), reply_);
  }
  OPENSSL_cleanse(line.data(), line.size());
  if (e.code == 0 && std::strncmp(reply_, "334", 3) == 0) {
    const std::string status = challengeStatus(reply_);
    e = smtp::command(reader_, kStepAuth, xoauth2 ? "" : "AQ==", reply_);
    if (e.code == 0) return ended(SMTP_UNLISTED_REPLY, reply_);  // accepted after refusing
    if (!e.lost && !status.empty()) {
      const std::string more = " (token status " + status + ")";
      std::size_t used = std::strlen(reply_);
      while (used > 0 && (reply_[used - 1] == '\r' || reply_[used - 1] == '\n')) --used;
      if (used + more.size() < kReplyBufferSize) std::memcpy(reply_ + used, more.c_str(), more.size() + 1);
    }
  }
  if (e.code != 0) return failed(e);
  return std::strncmp(reply_, "235", 3) == 0 ? ended(0, "") : ended(SMTP_UNLISTED_REPLY, reply_);
}

}  // namespace smtp
