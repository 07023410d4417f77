// The SMTP client's rooms and what they hand each other: a connection to the server with its
// dialogue (smtp_connection.cpp), the node's pool of kept connections and its cap on open ones
// (smtp_pool.cpp), the entry that checks a mail and sends it over one or the other, trying a
// transient failure again (smtp_submit.cpp), and the rate and retry pauses (smtp_limits.cpp).
// Private to the client; per-connection state lives in Connection, per-mail state in MailText
// and Outcome.
#ifndef SENDMAIL_SIMPLESMTP_SMTP_CONNECTION_H
#define SENDMAIL_SIMPLESMTP_SMTP_CONNECTION_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "smtp_internal.h"
#include "smtp_submit.h"

namespace smtp {

// ---- connection (smtp_connection.cpp) ----

// The text of a connection that stopped answering, or closed, mid-dialogue.
inline constexpr const char* kLostText = "Error during communication";

// A bound as people read it: "300 s", "0.4 s".
std::string boundText(Millis bound);

// How long a connection counted under MaxConnections waits, when it closes, for the server to
// close its end too: until then the server still counts it.
inline constexpr Millis kCloseWait{1000};

// How a transaction left the connection.
enum class After {
  Synced,  // done or refused by a reply: the server waits for the next command
  Dead,    // lost, or closing (421), before any mail data went out: safe to retry elsewhere
  Broken,  // anything else: only good for closing
};

// One connection to the server and everything it owns: the socket, the TLS session and the
// reply reader. The session is opened once; mail transactions follow (several when the
// connection is kept); close ends it with QUIT. It copies the session and the host name, so that
// it may outlive the request that opened it; the options (and the user and password they point
// to) it only refers to: a kept connection lives in the pool of those same submission settings,
// so they outlive it. Its command lines and data staging are the thread's buffers, not its own,
// so an idle kept connection holds no scratch memory. Every Outcome it gives names the step it
// ended at; its text is a reply or a local text in `reply`, or a constant.
class Connection {
 public:
  // `reply`: the caller's reply buffer (kReplyBufferSize bytes), where failure texts are made.
  Connection(const SmtpSession& session, const SubmitOptions& options, std::string_view host, char* reply);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connect, TLS from the first byte or after STARTTLS, the greeting, HELO or EHLO, AUTH (with
  // `token` for XOAUTH2 and OAUTHBEARER). A login without Security is refused before anything is
  // sent. A server refusing the token ends at kStepAuth with SMTP_REFUSED and its 535.
  Outcome open(std::string_view token = {});
  // MAIL FROM, one RCPT TO per entry of `envelope` (";"-separated), DATA (pipelined on a kept
  // connection whose server offers it), the header block, the body and the end of data; on
  // success the text is the server's 250. after() tells what the connection is good for next.
  Outcome transaction(const MailText& mail, std::string_view envelope);
  // QUIT and its reply within QUIT's bound (the reply changes nothing, but a connection of its
  // own reads it, as its plain dialogue always has), then the close: 0, or SMTP_TCPIP_ERROR
  // when the close failed.
  int close();
  // A kept connection's goodbye: QUIT sent without waiting, neither for room to write nor for
  // the reply; the socket closes with the object.
  void quit() noexcept;
  int descriptor() const noexcept { return fd_; }
  // From now on, closing says so (FIN) and waits up to `bound` for the server's close (0: not).
  void lingerOnClose(Millis bound) noexcept { linger_ = bound; }

  // For a kept connection: the thread's reply buffer for the next mail; the state the last
  // transaction left; RSET (true when answered 250); whether it can be used without waiting.
  void attach(char* reply) noexcept { reply_ = reply; }
  After after() const noexcept { return after_; }
  bool reset();
  bool quiet() noexcept;

 private:
  // Sends the step's command (its "%s" filled with `argument`) and judges the reply.
  Exchange step(int index, std::string_view argument);
  // The outcome of a refused or lost exchange at the current step; sets after_.
  Outcome failed(const Exchange& e);
  // The outcome at the current step: `text` handed out with `code`; `lost` when no usable reply
  // came.
  Outcome ended(int code, const char* text, bool lost = false) const noexcept {
    Outcome o{code, text, at_};
    o.lost = lost;
    return o;
  }
  Outcome pipelined(std::string_view mailFrom, std::string_view envelope);
  Outcome outOfStep(std::string_view detail);
  // A command whose reply only this object reads (QUIT, RSET): the mail's text stays as it is.
  // True when the reply starts with `expected`.
  bool aside(int index, const char* expected);
  // A local failure with a detail after `base` (the code's text), held in the reply buffer.
  Outcome explained(int code, std::string_view detail, const char* base = nullptr);
  // "host:port" of the server, as failure texts and the trace name it.
  std::string serverLabel() const;
  // Why the greeting did not come, from how its read ended.
  std::string noGreeting(const Exchange& e) const;
  Outcome greet();
  Outcome startTls(Millis bound, bool afterStartTls);
  Outcome authenticate(std::string_view token);
  Outcome bearer(std::string_view token);
  int sendMailData(const MailText& mail, bool mime, std::string_view header);
  // Closes the socket, first waiting for the server's close when asked to.
  int closeDescriptor() noexcept;

  const SmtpSession session_;
  const SubmitOptions& options_;
  const std::string host_;
  char* reply_;
  After after_ = After::Synced;
  int at_ = kNoStep;  // the step under way: the one an outcome names
  int fd_ = -1;
  Millis linger_{0};
  std::string_view refused_;  // the recipient a RCPT TO refusal refused (a view into the envelope)
  PlainStream plain_;
  std::optional<TlsStream> tls_;
  ReplyReader reader_;
  Extensions offered_;
  Secrets secrets_;  // what replies must not show once AUTH went out
  std::optional<Tracer> tracer_;  // only with a trace
};

// ---- pool (smtp_pool.cpp) ----

// A place among the node's open connections under MaxConnections, held from before the connect
// until the connection has closed (declare it before the Connection it stands for). An empty
// one counts nothing.
class ConnectionSlot {
 public:
  ConnectionSlot() noexcept = default;
  explicit ConnectionSlot(ConnectionPool::Impl* pool) noexcept : pool_(pool) {}
  ConnectionSlot(ConnectionSlot&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}
  ConnectionSlot& operator=(ConnectionSlot&&) = delete;
  ~ConnectionSlot();

 private:
  ConnectionPool::Impl* pool_ = nullptr;
};

// A place under the cap of `pool` for a connection of its own, waiting first come, first served
// until `deadline`; nothing when none came free in time.
std::optional<ConnectionSlot> awaitSlot(ConnectionPool& pool, std::chrono::steady_clock::time_point deadline);
// The failure of a mail that waited `waited` for a place under the cap of `pool` in vain, its
// text in `reply` naming the server as a failed connect does.
Outcome noConnectionFree(ConnectionPool& pool, std::string_view host, uint16_t port, Millis waited,
                         char* reply) noexcept;

// The mail over one of the pool's kept connections to `host` and the session's port that
// authenticated as this mail would (the node's credentials, or the message's own `token`), or
// over a new one (authenticating with `token`) it keeps afterwards, within the pool's cap on open
// connections. The server's name is looked up only for a new connection (the session may come
// without addresses). A kept connection found dead (or closing with 421) before any mail data
// went out costs one more try on a new connection, with a turn of the rate of its own; after
// that, never: no mail goes out twice.
Outcome deliverKept(ConnectionPool& pool, SmtpSession& session, const SubmitOptions& options,
                    std::string_view host, const MailText& mail, std::string_view envelope, char* reply,
                    std::string_view token, bool ownToken);

// The status a bearer token's refusal names (the base64 JSON of a 334 challenge: "401",
// "invalid_token"), as plain text of at most 40 letters, digits, "_", "-" and "."; empty when
// there is none.
std::string challengeStatus(std::string_view reply);

// ---- limits (smtp_limits.cpp) ----

// The pause before the `retry`-th try again: 1 s, 2 s, 4 s ... at most `most`, shortened at
// random by up to a quarter.
Millis retryPause(int retry, Millis most) noexcept;
// Whether a failure may be tried again: transient, and no mail data has gone out.
bool worthRetrying(const Outcome& outcome) noexcept;

}  // namespace smtp

#endif
