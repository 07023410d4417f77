// Secure submission, the hidden side of the SMTP client the node uses: the options beyond the
// twelve parameters of SendEmailMessage (STARTTLS or implicit TLS, AUTH, one bound for every
// wait, kept connections), the node's TLS client context and connection pool, and the entry
// that takes them. Nothing here is exported.
#ifndef SENDMAIL_SIMPLESMTP_SMTP_SUBMIT_H
#define SENDMAIL_SIMPLESMTP_SMTP_SUBMIT_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../rich_mail.h"
#include "smtp.h"

namespace smtp {

// One node's TLS client context: trust (system store or a CA file), whether to verify, and
// the session to resume, shared by every connection of the node on any thread.
class TlsClient {
 public:
  // The context, or null with `why` telling what failed (a CA file that cannot be read).
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
// connection past its time is found out, and closed, when a mail wants it.
class ConnectionPool {
 public:
  ConnectionPool(int maxMails, std::chrono::milliseconds idle);
  // QUIT on every kept connection, then the close.
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  struct Impl;  // the connections themselves (smtp_dialogue.cpp)
  Impl& impl() noexcept { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

struct SubmitOptions {
  Security security = Security::Plain;
  TlsClient* tls = nullptr;  // the node's context; needed unless security is Plain
  std::string_view user, password;
  std::chrono::milliseconds timeout{0};  // every wait, when positive; else the per-step bounds
  int refusal = 0;  // a settings error: every mail fails with this code before connecting
  std::string_view refusalDetail;  // appended to the code's text, when not empty
  ConnectionPool* pool = nullptr;  // the node's, when connections are kept

  // EHLO and its extensions are used only when asked for: otherwise the dialogue is HELO.
  bool extended() const noexcept { return security != Security::Plain || !user.empty() || pool != nullptr; }
};

// What the exported entries use: HELO, no TLS, no AUTH, the per-step bounds, nothing kept.
inline constexpr SubmitOptions kPlainSubmission{};

// Where a null text can come in (the exported entries, the node's absent fields): it reads as
// the empty text.
inline std::string_view orEmpty(const char* s) noexcept { return s != nullptr ? s : ""; }

// SmtpSendMessage with options and the mail's rich content (null: none); `host` is the name
// the server's certificate must carry. The texts are never null here: the exported entries
// turn a null into an empty text, once.
int sendMessage(SmtpSession* session, const SubmitOptions& options, std::string_view host,
                std::string_view from, std::string_view to, std::string_view cc, std::string_view bcc,
                std::string_view subject, std::string_view date, std::string_view messageId,
                std::string_view body, signed char priority, const richmail::RichMail* rich,
                const char** text) noexcept;

// SendEmailMessage with options and the mail's rich content (null: none); the same contract
// otherwise (serverName may be null, as there).
const char* sendEmail(const SubmitOptions& options, const char* serverName, uint16_t port,
                      std::string_view from, std::string_view to, std::string_view cc,
                      std::string_view bcc, std::string_view subject, std::string_view date,
                      std::string_view messageId, std::string_view body, signed char priority,
                      const richmail::RichMail* rich, int32_t* code) noexcept;

// Whether the lists name any recipient: an entry left once they are split as the client splits
// them (at ";" outside quotes and angle brackets, blank entries skipped).
bool hasRecipient(std::string_view to, std::string_view cc, std::string_view bcc) noexcept;

}  // namespace smtp

#endif
