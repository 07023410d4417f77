// The SMTP client's connection object and one mail's dialogue over it, in three parts: opening
// the session (connect, TLS from the first byte or after STARTTLS, greeting, HELO or EHLO, AUTH),
// the mail transaction (MAIL FROM, RCPT TO, DATA, the mail data) and closing (QUIT). Each step's
// command and reply codes come from the command table; what goes out between two replies leaves
// in one write. Also the node's pool of kept connections, and the checks that refuse unsafe
// values.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

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

// How a transaction left the connection.
enum class After {
  Synced,  // done or refused by a reply: the server waits for the next command
  Dead,    // lost, or closing (421), before any mail data went out: safe to retry elsewhere
  Broken,  // anything else: only good for closing
};

// One connection to the server and everything it owns: the socket, the TLS session and the reply
// reader. The session is opened once; mail transactions follow (several when the connection is
// kept); close ends it with QUIT. It copies the session and the host name, so that it may outlive
// the request that opened it; the options (and the user and password they point to) it only
// refers to: a kept connection lives in the pool of those same submission settings, so they
// outlive it. Its command lines and data staging are the thread's buffers, not its own, so an
// idle kept connection holds no scratch memory.
class Connection {
 public:
  Connection(const SmtpSession& session, const SubmitOptions& options, std::string_view host,
             char* reply)
      : session_(session), options_(options), host_(host), reply_(reply), plain_(-1),
        reader_(plain_, Bounds{options.timeout}, true) {}
  ~Connection() {
    if (fd_ != -1) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Outcome open();
  Outcome transaction(const MailText& mail, std::string_view envelope);
  // QUIT and its reply within QUIT's bound (the reply changes nothing, but a connection of its
  // own reads it, as its plain dialogue always has), then the close: 0, or SMTP_TCPIP_ERROR
  // when the close failed.
  int close();
  // A kept connection's goodbye: QUIT sent without waiting, neither for room to write nor for
  // the reply; the socket closes with the object.
  void quit() noexcept;
  int descriptor() const noexcept { return fd_; }

  // For a kept connection: the thread's reply buffer for the next mail; the state the last
  // transaction left; RSET (true when answered 250); whether it can be used without waiting.
  void attach(char* reply) noexcept { reply_ = reply; }
  After after() const noexcept { return after_; }
  bool reset();
  bool quiet() noexcept { return tls_ ? tls_->quiet() : plain_.quiet(); }

 private:
  Exchange step(int index, std::string_view argument) {
    thread_local std::string line;
    line.clear();
    appendCommand(line, index, argument);
    return command(reader_, index, line, reply_);
  }
  Outcome failed(const Exchange& e) {
    after_ = e.lost || std::strncmp(reply_, "421", 3) == 0 ? After::Dead : After::Synced;
    return {e.code, e.lost ? kLostText : reply_};
  }
  Outcome pipelined(std::string_view mailFrom, std::string_view envelope);
  // A pipelined batch whose replies do not fit its commands: nothing said on this connection can
  // be trusted any more (Postfix keeps no session after a protocol error), so it is only closed.
  // Nothing of the mail data has gone out, so the mail may go over a new connection.
  Outcome outOfStep(std::string_view detail) {
    after_ = After::Dead;
    const std::string copy(detail);  // it may lie in the reply buffer the text is written to
    return explained(SMTP_OUT_OF_STEP, copy);
  }
  // A command whose reply only this object reads (QUIT, RSET): the mail's text stays as it is.
  // True when the reply starts with `expected`.
  bool aside(int index, const char* expected) {
    thread_local std::string line, reply;
    reply.resize(kReplyBufferSize);
    line.clear();
    appendCommand(line, index, {});
    return command(reader_, index, line, reply.data()).code == 0 && std::strncmp(reply.data(), expected, 3) == 0;
  }
  // A local failure with a detail after the code's text, held in the reply buffer.
  Outcome explained(int code, std::string_view detail);
  Outcome greet();
  Outcome startTls(Millis bound, bool afterStartTls);
  Outcome authenticate();
  int sendMailData(const MailText& mail, bool mime, std::string_view header);

  const SmtpSession session_;
  const SubmitOptions& options_;
  const std::string host_;
  char* reply_;
  After after_ = After::Synced;
  int fd_ = -1;
  PlainStream plain_;
  std::optional<TlsStream> tls_;
  ReplyReader reader_;
  Extensions offered_;
  Secrets secrets_;  // what replies must not show once AUTH went out
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

Outcome Connection::startTls(Millis bound, bool afterStartTls) {
  std::string why;
  tls_.emplace(fd_, *options_.tls);
  if (!tls_->handshake(host_, bound, afterStartTls, why)) return explained(SMTP_TLS_FAILED, why);
  reader_.switchTo(*tls_);
  return {0, ""};
}

// The greeting, then HELO; or EHLO with its extensions when the options ask for more. A server
// that refuses to greet says why in its reply, which is handed out; one that stays silent,
// closes or sends something too short to be a reply gets the fixed text.
Outcome Connection::greet() {
  if (const Exchange e = awaitReply(reader_, SMTP_PROTO_GREETING, reply_); e.code != 0)
    return {e.code, e.lost || !hasReplyCode(reply_) ? TCPIPErrorString(e.code) : reply_};
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
  if (const int rc = connectSession(&fd_, session_, reader_.bounds().connect()); rc != 0)
    return {rc, TCPIPErrorString(rc)};
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
// the server offers, PLAIN first. The lines holding credentials are wiped once sent; from the
// first of them on, every reply of the connection is read with the secrets starred out.
Outcome Connection::authenticate() {
  if (!offered_.authPlain && !offered_.authLogin) return explained(SMTP_AUTH_NOT_OFFERED, {});
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
int Connection::sendMailData(const MailText& mail, bool mime, std::string_view header) {
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
  thread_local std::string tail, stage;
  tail.assign("\r\n");
  appendCommand(tail, SMTP_PROTO_END_OF_DATA, {});
  tail += "\r\n";

  // Room for the whole mail with its line ends made CR LF, up to the limit.
  const std::size_t wanted = header.size() + body.size() + body.size() / 8 + tail.size() + 64;
  WriteBatch batch(reader_.stream(), reader_.bounds().stall(SMTP_PROTO_END_OF_DATA), stage,
                   std::min(wanted, kStageLimit));
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
  after_ = After::Synced;
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
    if (const Exchange e = sendRecipients(reader_, envelope, reply_); e.code != 0) return failed(e);
    if (const Exchange e = step(SMTP_PROTO_DATA, {}); e.code != 0) return failed(e);
  }
  reader_.dropStray();
  // From here on the mail may arrive: nothing below is ever retried.
  after_ = After::Broken;
  if (sendMailData(mail, mime, header) != 0) {
    // The server may have refused during the data and closed: its reply, if it can still be
    // read, says why better than the failed write.
    constexpr Millis kAfterFailure{1000};
    const Millis bound = std::min(kAfterFailure, reader_.bounds().reply(SMTP_PROTO_END_OF_DATA));
    if (!reader_.read(reply_, kReplyBufferSize, bound)) return {SMTP_UNLISTED_REPLY, kLostText};
    const int rc = judge(SMTP_PROTO_END_OF_DATA, reply_);
    return {rc != 0 ? rc : SMTP_UNLISTED_REPLY, reply_};
  }
  const Exchange e = awaitReply(reader_, SMTP_PROTO_END_OF_DATA, reply_);
  after_ = e.lost ? After::Broken : After::Synced;
  if (e.code != 0) return {e.code, e.lost ? kLostText : reply_};
  return {0, reply_};
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
  std::string out(mailFrom);
  out += "\r\n";
  std::vector<int> steps{SMTP_PROTO_MAIL};
  forEachEntry(envelope, [&](std::string_view entry) {
    appendCommand(out, SMTP_PROTO_RCPT, envelopeAddress(entry));
    out += "\r\n";
    steps.push_back(SMTP_PROTO_RCPT);
    return true;
  });
  appendCommand(out, SMTP_PROTO_DATA, {});
  out += "\r\n";
  steps.push_back(SMTP_PROTO_DATA);
  reader_.dropStray();
  iovec one{out.data(), out.size()};
  if (reader_.stream().send(&one, 1, reader_.bounds().stall(SMTP_PROTO_MAIL)) != 0)
    return failed({kLost, true});
  Exchange first{0, false};
  std::string firstText;
  bool broken = false;  // after the refusal: only good for closing
  for (const int index : steps) {
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
    }
    // DATA accepted after a refusal: the transaction can only be abandoned by closing.
    if (index == SMTP_PROTO_DATA && e.code == 0 && first.code != 0) broken = true;
  }
  // A reply too many (one already waiting after DATA's): the replies read were not the answers.
  if (!broken && reader_.more()) return outOfStep("more replies than commands");
  if (first.code == 0) return {0, ""};
  std::memcpy(reply_, firstText.c_str(), firstText.size() + 1);
  const Outcome o = failed(first);
  if (broken && after_ == After::Synced) after_ = After::Broken;
  return o;
}

bool Connection::reset() { return aside(kStepRset, "250"); }

int Connection::close() {
  aside(SMTP_PROTO_QUIT, "221");
  if (tls_) tls_->shutdown();
  return TcpClose(std::exchange(fd_, -1));
}

void Connection::quit() noexcept {
  static constexpr char kQuit[] = "QUIT\r\n";
  reader_.dropStray();
  iovec line{const_cast<char*>(kQuit), sizeof kQuit - 1};
  reader_.stream().send(&line, 1, Millis{0});
  if (tls_) tls_->shutdown();
}

}  // namespace

struct ConnectionPool::Impl {
  struct Kept {
    template <typename... Args>
    explicit Kept(std::string k, Args&&... args)
        : key(std::move(k)), connection(std::forward<Args>(args)...) {}
    std::string key;  // the server it talks to
    Connection connection;
    int mails = 0;
    std::chrono::steady_clock::time_point lastUse;
  };
  int maxMails;
  Millis idle;
  std::mutex lock;
  std::vector<std::unique_ptr<Kept>> kept;  // idle ones only, the freshest last

  // An idle connection to the server that is still fit, or null. Those the server closed or
  // wrote to are closed; those past their idle time get QUIT first, whose reply nobody waits for.
  std::unique_ptr<Kept> take(const std::string& key) {
    for (;;) {
      std::unique_ptr<Kept> k;
      {
        const std::lock_guard<std::mutex> guard(lock);
        const auto found =
            std::find_if(kept.rbegin(), kept.rend(), [&](const auto& p) { return p->key == key; });
        if (found == kept.rend()) return nullptr;
        k = std::move(*found);
        kept.erase(std::next(found).base());
      }
      if (!k->connection.quiet()) continue;  // closed without QUIT: nobody would read it
      if (std::chrono::steady_clock::now() - k->lastUse <= idle) return k;
      k->connection.quit();
    }
  }
  void give(std::unique_ptr<Kept> k) {
    k->lastUse = std::chrono::steady_clock::now();
    k->connection.attach(nullptr);
    const std::lock_guard<std::mutex> guard(lock);
    kept.push_back(std::move(k));
  }

  // The mail over a kept connection, or a new one. The server's name is looked up only for a
  // new one (the session comes without addresses): a kept connection needs no resolver. A kept
  // connection found dead before any mail data went out costs one more try on a new
  // connection; after that, never.
  Outcome deliver(SmtpSession& session, const SubmitOptions& options, std::string_view host,
                  const MailText& mail, std::string_view envelope, char* reply) {
    std::string key(host);
    key.append("/").append(std::to_string(ntohs(session.serverAddress.sin_port)));
    bool resolved = session.serverAddressCount > 0;
    for (bool retried = false;; retried = true) {
      std::unique_ptr<Kept> k = retried ? nullptr : take(key);
      const bool reused = k != nullptr;
      if (reused) {
        k->connection.attach(reply);
      } else {
        if (!resolved) {
          if (const int rc = resolveServer(session, host); rc != 0)
            return {rc, SMTPErrorString(rc)};
          resolved = true;
        }
        k = std::make_unique<Kept>(key, session, options, host, reply);
        if (const Outcome o = k->connection.open(); o.code != 0) return o;
      }
      const Outcome o = k->connection.transaction(mail, envelope);
      const After after = k->connection.after();
      if (o.code == 0) {
        if (++k->mails >= maxMails) {
          k->connection.quit();
        } else {
          give(std::move(k));
        }
        return o;
      }
      if (reused && after == After::Dead) continue;  // a retry never reuses
      if (after == After::Synced && k->connection.reset()) give(std::move(k));
      return o;
    }
  }
};

ConnectionPool::ConnectionPool(int maxMails, Millis idle)
    : impl_(new Impl{maxMails, idle, {}, {}}) {}

// Every kept connection gets QUIT at once, then one wait of at most a second for all their
// answers together before they close: removing a node never waits on a server connection by
// connection, and a server that ignores QUIT holds it one second at most.
ConnectionPool::~ConnectionPool() {
  constexpr Millis kGoodbye{1000};
  for (auto& k : impl_->kept) k->connection.quit();
  try {
    std::vector<pollfd> waiting;
    for (const auto& k : impl_->kept) waiting.push_back({k->connection.descriptor(), POLLIN, 0});
    const auto deadline = std::chrono::steady_clock::now() + kGoodbye;
    while (!waiting.empty()) {
      const auto left = std::chrono::ceil<Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || ::poll(waiting.data(), waiting.size(), static_cast<int>(left.count())) < 0) break;
      std::erase_if(waiting, [](const pollfd& p) { return p.revents != 0; });
    }
  } catch (...) {  // no memory to wait with: they close at once
  }
}  // the connections close with the pool

namespace {
// The one place where a reply becomes the text handed out: one line, no control character but
// TAB (the reader blanked the others), whatever step it answered.
const char* handOut(const Outcome& outcome, char* reply) noexcept {
  if (outcome.text == reply) makeOneLine(reply);
  return outcome.text;
}
}  // namespace

// The mail over one new connection with the given options, or over the pool's; the code,
// with *text set.
int sendMessage(SmtpSession* session, const SubmitOptions& options, std::string_view host,
                std::string_view from, std::string_view to, std::string_view cc, std::string_view bcc,
                std::string_view subject, std::string_view date, std::string_view messageId,
                std::string_view body, signed char priority, const richmail::RichMail* rich,
                const char** text) noexcept {
  const char* ignored = nullptr;
  if (text == nullptr) text = &ignored;
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
  const MailText mail{from, to, cc, subject, date, messageId, body, session->localHostName, priority, rich, boundary};
  // A Reply-To list is held to the rules of To: each entry one address, no line break.
  const bool unsafeReplyTo = rich != nullptr && (hasLineBreak(rich->replyTo) ||
                                                 !forEachEntry(rich->replyTo, [](std::string_view e) { return sendableEntry(e); }));
  if (unsafe(*session, mail.from, mail.to, mail.cc, bcc) || unsafeReplyTo) {
    *text = SMTPErrorString(SMTP_BAD_PARAMETERS);
    return SMTP_BAD_PARAMETERS;
  }
  try {
    thread_local std::string envelope;
    envelope.clear();
    joinEnvelope(envelope, mail.to, mail.cc, bcc);
    if (options.pool != nullptr) {
      const Outcome outcome = options.pool->impl().deliver(*session, options, host, mail, envelope, reply);
      *text = handOut(outcome, reply);
      return outcome.code;
    }
    Connection connection(*session, options, host, reply);
    Outcome outcome = connection.open();
    if (outcome.code == 0) outcome = connection.transaction(mail, envelope);
    *text = handOut(outcome, reply);
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
  using smtp::orEmpty;
  return smtp::sendMessage(session, smtp::kPlainSubmission, {}, orEmpty(from), orEmpty(to), orEmpty(cc), orEmpty(bcc),
                           orEmpty(subject), orEmpty(date), orEmpty(messageId), orEmpty(body),
                           priority, nullptr, text);
}
