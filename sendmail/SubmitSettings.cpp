// Submission settings: reading and checking the attributes, and building the node's TLS context
// and connection pool at the settings load, so that every mail of the node shares them.
#include "SubmitSettings.h"

#include <cmath>
#include <cstdlib>
#include <optional>

#include "SimpleSMTP/smtp.h"
#include "node_schema.h"

namespace {
// A positive decimal number of at most `limit`, or nothing.
std::optional<double> positive(const char* text, double limit) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0 || value > limit) return std::nullopt;
  return value;
}

// The attribute's value, or the one an empty value stands for.
const char* orDefault(const std::string& text, schema::Attribute attribute) {
  return text.empty() ? schema::row(attribute).whenEmpty : text.c_str();
}

// Seconds as whole milliseconds, rounded up.
std::chrono::milliseconds milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}
}  // namespace

std::unique_ptr<SubmitSettings> makeSubmitSettings(const std::function<std::string(const char*)>& read,
                                                   smtp::TraceSink trace) {
  auto settings = std::make_unique<SubmitSettings>();
  SubmitSettings& s = *settings;
  // Read in index order; only the credentials and the refusal's detail are kept.
  using schema::Attribute;
  const auto value = [&read](Attribute attribute) { return read(schema::name(attribute)); };
  const std::string security = value(Attribute::Security);
  const std::string tlsVerify = value(Attribute::TLSVerify);
  const std::string caFile = value(Attribute::TLSCAFile);
  const std::string timeout = value(Attribute::TimeoutSeconds);
  s.user = value(Attribute::SMTPUser);
  s.password = value(Attribute::SMTPPassword);
  const std::string reuse = value(Attribute::ConnectionReuse);
  const std::string maxMails = value(Attribute::MaxMailsPerConnection);
  const std::string idleText = value(Attribute::IdleSeconds);
  const std::string traced = value(Attribute::Trace);

  smtp::SubmitOptions& o = s.options;
  o.user = s.user;
  o.password = s.password;
  if (security == "starttls") {
    o.security = smtp::Security::StartTls;
  } else if (security == "tls") {
    o.security = smtp::Security::Tls;
  } else if (!security.empty()) {
    o.refusal = SMTP_BAD_SECURITY;
    return settings;
  }
  if (!tlsVerify.empty() && tlsVerify != "yes" && tlsVerify != "no") {
    o.refusal = SMTP_BAD_TLS_VERIFY;
    return settings;
  }
  if (!timeout.empty()) {
    // At most a day: beyond that a bound protects nothing.
    const std::optional<double> seconds = positive(timeout.c_str(), 86400);
    if (!seconds) {
      o.refusal = SMTP_BAD_TIMEOUT;
      return settings;
    }
    o.timeout = milliseconds(*seconds);
  }
  if (!traced.empty() && traced != "yes") {
    o.refusal = SMTP_BAD_TRACE;
    return settings;
  }
  if (traced == "yes") o.trace = trace;
  if (o.security != smtp::Security::Plain) {
    s.tls = smtp::TlsClient::create(tlsVerify != "no", caFile, s.refusalDetail);
    if (!s.tls) {
      o.refusal = SMTP_BAD_TLS_SETTINGS;
      o.refusalDetail = s.refusalDetail;
      return settings;
    }
    o.tls = s.tls.get();
  }
  const std::optional<double> mails = positive(orDefault(maxMails, Attribute::MaxMailsPerConnection), 1e6);
  const std::optional<double> idle = positive(orDefault(idleText, Attribute::IdleSeconds), 86400);
  if ((!reuse.empty() && reuse != "yes") || !mails || !idle || *mails != std::floor(*mails)) {
    o.refusal = SMTP_BAD_REUSE;
    return settings;
  }
  if (reuse == "yes") {
    s.pool = std::make_unique<smtp::ConnectionPool>(
        static_cast<int>(*mails), milliseconds(*idle));
    o.pool = s.pool.get();
  }
  return settings;
}
