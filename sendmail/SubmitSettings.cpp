// Secure submission settings: reading and checking the attributes, and building the node's TLS
// context at the settings load, so that every mail of the node shares it and its sessions.
#include "SubmitSettings.h"

#include <cmath>
#include <cstdlib>

#include "SimpleSMTP/smtp.h"

std::unique_ptr<SubmitSettings> makeSubmitSettings(const std::function<std::string(const char*)>& read) {
  auto settings = std::make_unique<SubmitSettings>();
  SubmitSettings& s = *settings;
  s.security = read("Security");
  s.tlsVerify = read("TLSVerify");
  s.caFile = read("TLSCAFile");
  s.timeout = read("TimeoutSeconds");
  s.user = read("SMTPUser");
  s.password = read("SMTPPassword");

  smtp::SubmitOptions& o = s.options;
  o.user = s.user;
  o.password = s.password;
  if (s.security == "starttls") {
    o.security = smtp::Security::StartTls;
  } else if (s.security == "tls") {
    o.security = smtp::Security::Tls;
  } else if (!s.security.empty()) {
    o.refusal = SMTP_BAD_SECURITY;
    return settings;
  }
  if (!s.tlsVerify.empty() && s.tlsVerify != "yes" && s.tlsVerify != "no") {
    o.refusal = SMTP_BAD_TLS_VERIFY;
    return settings;
  }
  if (!s.timeout.empty()) {
    char* end = nullptr;
    const double seconds = std::strtod(s.timeout.c_str(), &end);
    // At most a day: beyond that a bound protects nothing.
    if (end == s.timeout.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
      o.refusal = SMTP_BAD_TIMEOUT;
      return settings;
    }
    o.timeout = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
  }
  if (o.security != smtp::Security::Plain) {
    s.tls = smtp::TlsClient::create(s.tlsVerify != "no", s.caFile, s.refusalDetail);
    if (!s.tls) {
      o.refusal = SMTP_TLS_FAILED;
      o.refusalDetail = s.refusalDetail;
      return settings;
    }
    o.tls = s.tls.get();
  }
  return settings;
}
