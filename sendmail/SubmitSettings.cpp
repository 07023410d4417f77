// Submission settings: reading and checking the attributes, and building the node's TLS context
// (with its client certificate), token provider, connection pool and mail rate at the settings
// load, so that every mail of the node shares them.
#include "SubmitSettings.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <openssl/crypto.h>

#include "SimpleSMTP/oauth_token.h"
#include "SimpleSMTP/smtp.h"
#include "SimpleSMTP/smtp_internal.h"
#include "node_schema.h"

namespace {
// A positive decimal number of at most `limit`, or nothing.
std::optional<double> positive(const char* text, double limit) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0 || value > limit) return std::nullopt;
  return value;
}

// A whole number from 0 (when `zero` allows) or 1 to `limit`, or nothing.
std::optional<double> whole(const char* text, double limit, bool zero = false) {
  if (zero && std::string_view(text) == "0") return 0.0;
  const std::optional<double> value = positive(text, limit);
  if (!value || *value != std::floor(*value)) return std::nullopt;
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

using schema::Attribute;

// SMTPAuth's values, in the order of smtp::AuthMechanism.
constexpr const char* kMechanisms[] = {"", "plain", "login", "xoauth2", "oauthbearer"};

// The OAuth2 and client-certificate attributes as read, wiped when they go.
struct OAuthValues {
  std::string mechanism, url, clientId, clientSecret, scope, refreshToken, clientCert, clientKey;
  ~OAuthValues() {
    OPENSSL_cleanse(clientSecret.data(), clientSecret.size());
    OPENSSL_cleanse(refreshToken.data(), refreshToken.size());
  }
};

// Why the OAuth2 and client-certificate values cannot be used, or nothing. Only a value
// that would work is accepted: none is left aside for something weaker.
std::string oauthRefusal(const OAuthValues& v, const smtp::SubmitOptions& o, smtp::AuthMechanism& mechanism) {
  const auto known = std::find(std::begin(kMechanisms), std::end(kMechanisms), v.mechanism);
  if (known == std::end(kMechanisms)) return "SMTPAuth must be empty, plain, login, xoauth2 or oauthbearer";
  mechanism = static_cast<smtp::AuthMechanism>(known - std::begin(kMechanisms));
  const bool bearer = mechanism == smtp::AuthMechanism::XOAuth2 || mechanism == smtp::AuthMechanism::OAuthBearer;
  if (!v.mechanism.empty() && o.user.empty()) return "SMTPAuth needs SMTPUser";
  const std::pair<Attribute, const std::string*> oauth[] = {{Attribute::OAuthTokenURL, &v.url},
                                                            {Attribute::OAuthClientId, &v.clientId},
                                                            {Attribute::OAuthClientSecret, &v.clientSecret},
                                                            {Attribute::OAuthScope, &v.scope},
                                                            {Attribute::OAuthRefreshToken, &v.refreshToken}};
  for (const auto& [attribute, value] : oauth) {
    if (value->empty()) continue;
    if (!bearer) return std::string(schema::name(attribute)) + " needs SMTPAuth xoauth2 or oauthbearer";
    if (v.url.empty()) return std::string(schema::name(attribute)) + " needs OAuthTokenURL";
  }
  if (!v.url.empty()) {
    if (!smtp::usableTokenUrl(v.url)) return "OAuthTokenURL must be an https URL with no user or password in it";
    if (v.clientId.empty()) return "OAuthTokenURL needs OAuthClientId";
    if (v.refreshToken.empty() && v.clientSecret.empty())
      return "OAuthTokenURL needs OAuthClientSecret (client credentials) or OAuthRefreshToken";
  }
  if (!v.clientKey.empty() && v.clientCert.empty()) return "TLSClientKey needs TLSClientCert";
  if (!v.clientCert.empty() && o.security == smtp::Security::Plain) return "TLSClientCert needs Security";
  return {};
}
}  // namespace

std::unique_ptr<SubmitSettings> makeSubmitSettings(const std::function<std::string(const char*)>& read,
                                                   smtp::TraceSink trace) {
  auto settings = std::make_unique<SubmitSettings>();
  SubmitSettings& s = *settings;
  // Read in index order; what the client needs later is kept in `s`, the rest goes with this call.
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
  OAuthValues oauth;
  oauth.mechanism = value(Attribute::SMTPAuth);
  oauth.url = value(Attribute::OAuthTokenURL);
  oauth.clientId = value(Attribute::OAuthClientId);
  oauth.clientSecret = value(Attribute::OAuthClientSecret);
  oauth.scope = value(Attribute::OAuthScope);
  oauth.refreshToken = value(Attribute::OAuthRefreshToken);
  oauth.clientCert = value(Attribute::TLSClientCert);
  oauth.clientKey = value(Attribute::TLSClientKey);
  const std::string cap = value(Attribute::MaxConnections);
  const std::string perMinute = value(Attribute::MaxMailsPerMinute);
  const std::string retries = value(Attribute::RetryTransient);
  const std::string retryMax = value(Attribute::RetryMaxSeconds);
  const std::string detail = value(Attribute::FailureDetail);
  const std::string receipt = value(Attribute::Receipt);
  // Taken first: a refusal of any other setting is a failure whose detail a flow routes on too.
  s.failureDetail = detail == "yes";
  s.receipt = receipt == "yes";

  smtp::SubmitOptions& o = s.options;
  s.hostName = smtp::localHostName();
  o.localHostName = s.hostName;
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
  const auto unusable = [&](std::string why, int code = SMTP_BAD_SETTINGS) {
    s.refusalDetail = std::move(why);
    o.refusal = code;
    o.refusalDetail = s.refusalDetail;
    return std::move(settings);
  };
  if (std::string why = oauthRefusal(oauth, o, o.mechanism); !why.empty()) return unusable(std::move(why));
  if (o.security != smtp::Security::Plain) {
    std::string why;
    s.tls = smtp::TlsClient::create(tlsVerify != "no", caFile, why);
    if (!s.tls) return unusable(std::move(why), SMTP_BAD_TLS_SETTINGS);
    o.tls = s.tls.get();
    if (!oauth.clientCert.empty() && !s.tls->useCertificate(oauth.clientCert, oauth.clientKey, why))
      return unusable(std::move(why), SMTP_BAD_TLS_SETTINGS);
  }
  if (!oauth.url.empty()) {
    // The endpoint is asked with the SMTP connection's trust and bound, its certificate always checked.
    s.tokens = std::make_unique<smtp::TokenProvider>(smtp::TokenEndpoint{
        oauth.url, oauth.clientId, oauth.clientSecret, oauth.scope, oauth.refreshToken, caFile,
        o.timeout.count() > 0 ? o.timeout : smtp::kConnectTimeout});
    o.tokens = s.tokens.get();
  }
  const std::optional<double> mails = whole(orDefault(maxMails, Attribute::MaxMailsPerConnection), 1e6);
  const std::optional<double> idle = positive(orDefault(idleText, Attribute::IdleSeconds), 86400);
  if ((!reuse.empty() && reuse != "yes") || !mails || !idle) {
    o.refusal = SMTP_BAD_REUSE;
    return settings;
  }
  // A provider's limits; empty values change nothing.
  const std::optional<double> most = cap.empty() ? 0.0 : whole(cap.c_str(), 1e6);
  const std::optional<double> rate = perMinute.empty() ? 0.0 : positive(perMinute.c_str(), 1e9);
  const std::optional<double> tries = whole(orDefault(retries, Attribute::RetryTransient), 10, true);
  // A pause holds the broker's thread: an hour at most.
  const std::optional<double> pause = positive(orDefault(retryMax, Attribute::RetryMaxSeconds), 3600);
  const auto flag = [](const std::string& v) { return v.empty() || v == "yes"; };
  if (!most || !rate || !tries || !pause || !flag(detail) || !flag(receipt)) {
    o.refusal = SMTP_BAD_LIMITS;
    return settings;
  }
  if (reuse == "yes" || *most > 0) {
    s.pool = std::make_unique<smtp::ConnectionPool>(reuse == "yes" ? static_cast<int>(*mails) : 0, milliseconds(*idle),
                                                    static_cast<int>(*most));
    (reuse == "yes" ? o.pool : o.capped) = s.pool.get();
  }
  if (*rate > 0) {
    s.rate = std::make_unique<smtp::MailRate>(*rate);
    o.rate = s.rate.get();
  }
  o.retries = static_cast<int>(*tries);
  o.retryPause = milliseconds(*pause);
  return settings;
}
