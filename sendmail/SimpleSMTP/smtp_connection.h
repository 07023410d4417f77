// The SMTP client's three rooms and what they hand each other: a connection to the server with
// its dialogue (smtp_connection.cpp), the node's pool of kept connections (smtp_pool.cpp), and
// the entry that checks a mail and sends it over one or the other (smtp_submit.cpp). Private to
// the client; per-connection state lives in Connection, per-mail state in MailText and Outcome.
#ifndef SENDMAIL_SIMPLESMTP_SMTP_CONNECTION_H
#define SENDMAIL_SIMPLESMTP_SMTP_CONNECTION_H

#include <optional>
#include <string>
#include <string_view>

#include "smtp_internal.h"
#include "smtp_submit.h"

namespace smtp {

// ---- connection (smtp_connection.cpp) ----

// The text of a connection that stopped answering, or closed, mid-dialogue.
inline constexpr const char* kLostText = "Error during communication";

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
  // The outcome at the current step: `text` handed out with `code`.
  Outcome ended(int code, const char* text) const noexcept { return {code, text, at_}; }
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

  const SmtpSession session_;
  const SubmitOptions& options_;
  const std::string host_;
  char* reply_;
  After after_ = After::Synced;
  int at_ = kNoStep;  // the step under way: the one an outcome names
  int fd_ = -1;
  PlainStream plain_;
  std::optional<TlsStream> tls_;
  ReplyReader reader_;
  Extensions offered_;
  Secrets secrets_;  // what replies must not show once AUTH went out
  std::optional<Tracer> tracer_;  // only with a trace
};

// ---- pool (smtp_pool.cpp) ----

// The mail over one of the pool's kept connections to `host` and the session's port that
// authenticated as this mail would (the node's credentials, or the message's own `token`), or
// over a new one (authenticating with `token`) it keeps afterwards. The server's name is looked up only for a new connection (the
// session may come without addresses). A kept connection found dead before any mail data went
// out costs one more try on a new connection; after that, never: no mail goes out twice.
Outcome deliverKept(ConnectionPool& pool, SmtpSession& session, const SubmitOptions& options,
                    std::string_view host, const MailText& mail, std::string_view envelope, char* reply,
                    std::string_view token, bool ownToken);

// The status a bearer token's refusal names (the base64 JSON of a 334 challenge: "401",
// "invalid_token"), as plain text of at most 40 letters, digits, "_", "-" and "."; empty when
// there is none.
std::string challengeStatus(std::string_view reply);

}  // namespace smtp

#endif
