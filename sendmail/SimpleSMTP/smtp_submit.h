// The SMTP client's hidden entry, the one the node uses: the options beyond SendEmailMessage's
// parameters (STARTTLS or implicit TLS, AUTH, one bound for every wait, kept connections, a
// trace, a provider's limits), the node's TLS client context, connection pool and mail rate,
// and the entry that takes them with one MailRequest. Nothing here is exported.
#ifndef SENDMAIL_SIMPLESMTP_SMTP_SUBMIT_H
#define SENDMAIL_SIMPLESMTP_SMTP_SUBMIT_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "smtp.h"
#include "smtp_request.h"

namespace smtp {

class TokenProvider;

// One node's TLS client context: trust (system store or a CA file), whether to verify, and
// the session to resume, shared by every connection of the node on any thread.
class TlsClient {
 public:
  // The context, or null with `why` telling what failed (a CA file that does not load, and why).
  static std::unique_ptr<TlsClient> create(bool verify, const std::string& caFile, std::string& why);
  // Presents this certificate (PEM; the key in `keyFile`, or in the certificate's file when
  // that is empty) in every handshake. False with `why` naming the attribute and OpenSSL's
  // reason: a file that cannot be read, no certificate or key in it, a key that does not match,
  // a key with a passphrase.
  bool useCertificate(const std::string& certFile, const std::string& keyFile, std::string& why);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  struct Impl;
  Impl& impl() noexcept { return *impl_; }

 private:
  explicit TlsClient(std::unique_ptr<Impl> impl) noexcept;
  std::unique_ptr<Impl> impl_;
};

enum class Security { Plain, StartTls, Tls };

// SMTPAuth: the server's choice (PLAIN, else LOGIN), one of those forced, or a bearer token.
enum class AuthMechanism { Offered, Plain, Login, XOAuth2, OAuthBearer };

// One node's kept connections: an evaluation takes an idle one (or opens one) and gives it back
// after its mail, so no connection serves two evaluations at once. Creates no thread: an idle
// connection past its time is found out, and closed, when a mail wants it. With a cap
// (`most` > 0, MaxConnections) it also counts every open connection of the node, kept ones
// included, and evaluations wait first come, first served for one; a pool that keeps nothing
// (`maxMails` 0) only counts the node's connections of their own.
class ConnectionPool {
 public:
  ConnectionPool(int maxMails, std::chrono::milliseconds idle, int most = 0);
  // QUIT on every kept connection, then the close.
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  struct Impl;  // the connections themselves (smtp_pool.cpp)
  Impl& impl() noexcept { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// One node's schedule of mail starts (MaxMailsPerMinute): one every 60/N seconds (and 1 % more,
// for delays on the way), whichever thread asks, each waiting for its own turn; a node idle for a
// while gets no burst for it.
class MailRate {
 public:
  explicit MailRate(double perMinute) noexcept;
  // Takes the next turn and waits for it.
  void awaitTurn();

 private:
  std::mutex lock_;
  std::chrono::steady_clock::duration spacing_;
  std::chrono::steady_clock::time_point next_{};
};

// Where a connection's trace goes, when the node's Trace attribute asks for one: a call per
// command line sent, per reply line received and per note (TLS started, the mail data's size),
// each naming the server ("host:port") and the connection (numbered from 1 in the process). The
// text is one line without control characters; credentials show as "****", and the mail data
// only as its size and line count.
enum class TraceKind { Sent, Received, Note };
using TraceSink = void (*)(TraceKind kind, std::string_view server, unsigned long connection,
                           std::string_view text) noexcept;

struct SubmitOptions {
  Security security = Security::Plain;
  TlsClient* tls = nullptr;  // the node's context; needed unless security is Plain
  std::string_view user, password;
  std::chrono::milliseconds timeout{0};  // every wait, when positive; else the per-step bounds
  int refusal = 0;  // a settings error: every mail fails with this code before connecting
  std::string_view refusalDetail;  // appended to the code's text, when not empty
  ConnectionPool* pool = nullptr;  // the node's, when connections are kept
  TraceSink trace = nullptr;        // null: no trace, and nothing spent on one
  AuthMechanism mechanism = AuthMechanism::Offered;  // SMTPAuth
  TokenProvider* tokens = nullptr;  // the node's token, with OAuthTokenURL
  // A provider's limits. `capped`: the count MaxConnections holds a connection of its own to
  // (without kept connections; the pool counts its own, whatever credential they use). Every
  // try of a mail takes a turn of `rate`; a transient failure before the mail data is tried
  // again `retries` times, after 1 s, 2 s, 4 s ... (a little less, at random), never longer than
  // `retryPause`.
  ConnectionPool* capped = nullptr;
  MailRate* rate = nullptr;
  int retries = 0;
  std::chrono::milliseconds retryPause{60'000};
  // The name HELO and EHLO give, looked up once for the node; empty: each mail looks it up.
  std::string_view localHostName;

  bool bearer() const noexcept {
    return mechanism == AuthMechanism::XOAuth2 || mechanism == AuthMechanism::OAuthBearer;
  }

  // EHLO and its extensions are used only when asked for: otherwise the dialogue is HELO.
  bool extended() const noexcept { return security != Security::Plain || !user.empty() || pool != nullptr; }
};

// What the exported entries use: HELO, no TLS, no AUTH, the per-step bounds, nothing kept.
inline constexpr SubmitOptions kPlainSubmission{};

// Steps no exchange stands for: a mail decided before anything went towards the server (a
// setting, a check of the mail's values), the connect (the name's lookup and the wait for a
// connection under MaxConnections included), and the TLS handshake.
inline constexpr int kNoStep = -1;
inline constexpr int kConnectStep = -2;
inline constexpr int kTlsStep = -3;

// How a mail ended: its code (0 sent), the text handed out with it (never null) and the step of
// the dialogue it ended at (SmtpProto's index, or a hidden step's or one of the above); and what
// the client knew beside it, for a failure's detail or a delivery's receipt. Its texts and views
// stay valid until the thread's next call.
struct Outcome {
  int code = 0;
  const char* text = "";
  int step = kNoStep;
  // No usable reply: lost, closed, silent, or out of step; or, at AUTH, no token because the
  // token endpoint could not be asked for a while.
  bool lost = false;
  int attempts = 1;                  // tries of the mail (with a new token, and again after a pause)
  std::string_view recipient = {};   // the address a RCPT TO refusal refused
  const char* reply = "";            // on success: the server's reply to the mail data, one line
  const char* tlsVersion = nullptr;  // the TLS the mail went over, or null
  const char* tlsCipher = nullptr;
};

// What a failure was (RFC 3463's classes; the text and the step say which): a 4xx reply, a lost
// or silent connection, a refused or timed-out connect or handshake, a token endpoint that did
// not answer are Transient; another reply (5xx) or what the server lacks is Permanent; a
// setting, the mail's values, a token the endpoint would not give or the host's resources are
// Local. None for a success.
enum class Kind { None, Transient, Permanent, Local };
Kind kindOf(const Outcome& outcome) noexcept;
// The step's name: "connect", "tls", "greeting", "hello", "auth", "mail", "rcpt", "data",
// "end-of-data"; empty for kNoStep.
const char* stepName(int step) noexcept;
// The server's reply code the outcome's text starts with (empty when no reply came), and the
// RFC 3463 enhanced status code right after it ("5.7.8"; empty when the server gave none).
std::string_view replyCodeOf(const Outcome& outcome) noexcept;
std::string_view enhancedCodeOf(const Outcome& outcome) noexcept;

// The text of an error code (SMTPErrorString), of a TCP/IP one (TCPIPErrorString), and the
// month abbreviation of a date text (MonthShortName: "Jan".."Dec", three blanks otherwise).
const char* errorText(int code) noexcept;
const char* tcpErrorText(int code) noexcept;
const char* monthShortName(int month) noexcept;

// Where a null text can come in (the exported entries, the node's absent fields): it reads as
// the empty text.
inline std::string_view orEmpty(const char* s) noexcept { return s != nullptr ? s : ""; }

// The request over `session` (SmtpSendMessage with options and rich content). The request's
// server name is what the server's certificate must carry and the pool's key; the session says
// where to connect; every try goes to it: once more with a new node token after a server refused
// the node's, and again after a transient failure as the options allow. On success the text is
// the server's reply to the mail data.
Outcome sendMessage(SmtpSession* session, const SubmitOptions& options, const MailRequest& request) noexcept;

// The request to its server and port (SendEmailMessage with options and rich content): the
// session set up for each try (the name looked up only when no kept connection serves), then the
// mail as sendMessage sends it. On success the text is empty (the server's reply is the
// outcome's `reply`); otherwise it explains the code.
Outcome sendEmail(const SubmitOptions& options, const MailRequest& request) noexcept;

// The settings' refusal as the outcome every mail gets (nothing sent, never in clear instead),
// or code 0 when the settings can be used.
Outcome settingsRefusal(const SubmitOptions& options) noexcept;

// Whether the request names any recipient: an entry left in To, Cc or Bcc once they are split as
// the client splits them (at ";" outside quotes and angle brackets, blank entries skipped).
bool hasRecipient(const MailRequest& request) noexcept;
// How many RCPT TO the request takes: its entries, split the same way.
int countRecipients(const MailRequest& request) noexcept;

}  // namespace smtp

#endif
