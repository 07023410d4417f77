// The node's submission settings: the attributes after "X" (Security, TLSVerify, TLSCAFile,
// TimeoutSeconds, SMTPUser, SMTPPassword, then ConnectionReuse, MaxMailsPerConnection,
// IdleSeconds, Trace, then SMTPAuth, the OAuth* ones, TLSClientCert and TLSClientKey, then a
// provider's limits and the outcomes a flow asks for) read once with the others, checked, and
// turned into the SMTP client's options with the node's one TLS context and, when asked for,
// its token provider, its pool of kept connections (or count of open ones), its mail rate and
// its trace.
#ifndef SENDMAIL_SUBMITSETTINGS_H
#define SENDMAIL_SUBMITSETTINGS_H

#include <functional>
#include <memory>
#include <string>

#include "SimpleSMTP/oauth_token.h"
#include "SimpleSMTP/smtp_submit.h"

struct SubmitSettings {
  std::string user, password;
  std::string refusalDetail;
  std::string hostName;  // the local host's, looked up once for the node
  std::unique_ptr<smtp::TlsClient> tls;
  std::unique_ptr<smtp::TokenProvider> tokens;  // with OAuthTokenURL: the node's one token
  // Declared after the TLS context: its connections say goodbye before the context goes.
  std::unique_ptr<smtp::ConnectionPool> pool;
  std::unique_ptr<smtp::MailRate> rate;
  smtp::SubmitOptions options;  // its texts point into the strings above
  // What the node adds to the messages it sends on (FailureDetail, Receipt).
  bool failureDetail = false;
  bool receipt = false;
};

// Reads the settings through `read` (an attribute's value as UTF-8, empty when missing) and
// makes the options: a value the client cannot use becomes a refusal every mail reports.
// Trace=yes sends the dialogue to `trace` (nowhere when it is null).
std::unique_ptr<SubmitSettings> makeSubmitSettings(const std::function<std::string(const char*)>& read,
                                                   smtp::TraceSink trace = nullptr);

#endif
