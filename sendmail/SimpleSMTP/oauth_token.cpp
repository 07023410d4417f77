// The node's OAuth2 token provider: one HTTPS POST to the token endpoint with libcurl, checked
// with the SMTP connection's TLS rules, its answer read as JSON (nlohmann) within a size bound,
// and the token shared by the node's threads (one request at a time, a failure held a while).
// Everything the endpoint sends is untrusted; no secret ever reaches a failure text.
#include "oauth_token.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string_view>

namespace smtp {

BearerToken::~BearerToken() { OPENSSL_cleanse(value.data(), value.size()); }

namespace {
using Clock = std::chrono::steady_clock;
using nlohmann::json;

// An answer larger than this is no token answer (a token of tens of kilobytes is already odd).
constexpr std::size_t kAnswerLimit = 64 * 1024;
// A token or refresh token longer than this is refused: it could not go on an AUTH line anyway.
constexpr std::size_t kTokenLimit = 32 * 1024;
// How much of the endpoint's own text a failure carries.
constexpr std::size_t kTextLimit = 300;

void wipe(std::string& secret) noexcept {
  OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

// A text from the endpoint as one safe line: every secret starred out (in the whole text, so a
// cut never leaves part of one), control characters made blanks, at most kTextLimit bytes (never
// cutting a UTF-8 sequence).
std::string safeText(std::string_view text, const TokenEndpoint& endpoint, std::string_view refresh) {
  std::string out(text);
  for (const std::string_view secret : {std::string_view(endpoint.clientSecret), refresh}) {
    if (secret.size() < 4) continue;  // shorter ones would match ordinary words; they are never echoed by us
    for (std::size_t at; (at = out.find(secret)) != std::string::npos;) out.replace(at, secret.size(), secret.size(), '*');
  }
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
  if (out.size() > kTextLimit) {
    std::size_t cut = kTextLimit;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "...";
  }
  return out;
}

// The form body of the request, each value escaped by libcurl; wiped by the caller.
std::string formBody(CURL* curl, const TokenEndpoint& endpoint, const std::string& refresh) {
  std::string body = refresh.empty() ? "grant_type=client_credentials" : "grant_type=refresh_token";
  const auto add = [&](const char* name, const std::string& value) {
    if (value.empty()) return;
    char* escaped = curl_easy_escape(curl, value.data(), static_cast<int>(value.size()));
    if (escaped == nullptr) throw std::bad_alloc();
    body.append("&").append(name).append("=").append(escaped);
    OPENSSL_cleanse(escaped, std::char_traits<char>::length(escaped));
    curl_free(escaped);
  };
  add("refresh_token", refresh);
  add("client_id", endpoint.clientId);
  add("client_secret", endpoint.clientSecret);
  add("scope", endpoint.scope);
  return body;
}

// Without TLSCAFile the endpoint is checked against the system's trust store exactly as the
// SMTP connection is (OpenSSL's default paths, which SSL_CERT_FILE and SSL_CERT_DIR replace).
CURLcode defaultTrust(CURL*, void* ctx, void*) {
  return SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(ctx)) == 1 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<std::string*>(user);
  const std::size_t n = size * count;
  if (answer->size() + n > kAnswerLimit) return 0;  // libcurl ends the transfer: CURLE_WRITE_ERROR
  answer->append(data, n);
  return n;
}

// What one request gave: a token (with its lifetime, and a rotated refresh token when the
// endpoint sent one), or why not.
struct Answer {
  std::string token, refreshToken, why;
  bool transient = false;  // the endpoint could not be asked for now: worth asking again later
  std::chrono::seconds lifetime{3600};  // when the endpoint does not say (RFC 6749 5.1)
};

// The lifetime the endpoint gave in expires_in (a number, or a number in a string), within
// one second and a day.
std::chrono::seconds lifetimeOf(const json& expires) {
  double seconds = 3600;
  if (expires.is_number()) {
    seconds = expires.get<double>();
  } else if (expires.is_string()) {
    const std::string& text = expires.get_ref<const std::string&>();
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) seconds = 3600;
  }
  if (!(seconds >= 1)) seconds = 1;
  return std::chrono::seconds(static_cast<long long>(std::min(seconds, 86400.0)));
}

// Reads the endpoint's answer (RFC 6749 5.1 and 5.2).
void readAnswer(long status, std::string& body, const TokenEndpoint& endpoint, const std::string& refresh,
                Answer& answer) {
  // Values nested deeper than the answer's own members are not kept (nor is anything parsed
  // recursively), so a hostile answer costs no more than its bounded size.
  json parsed = json::parse(body, [](int depth, json::parse_event_t, json&) { return depth <= 1; }, false);
  wipe(body);
  const auto member = [&](const char* name) -> std::string* {
    if (!parsed.is_object()) return nullptr;
    const auto found = parsed.find(name);
    return found != parsed.end() && found->is_string() ? &found->get_ref<std::string&>() : nullptr;
  };
  const auto text = [&](const char* name) -> std::string_view {
    const std::string* value = member(name);
    return value != nullptr ? std::string_view(*value) : std::string_view();
  };
  const std::string code = "HTTP " + std::to_string(status);
  // RFC 6585's 429 and a server error say "not now"; any other refusal stands until the
  // settings change.
  answer.transient = status == 429 || status >= 500 || text("error") == "temporarily_unavailable";
  if (!text("error").empty()) {
    const std::string_view description = text("error_description");
    answer.why = "token endpoint: " + safeText(text("error"), endpoint, refresh) +
                 (description.empty() ? "" : ": " + safeText(description, endpoint, refresh)) + " (" + code + ")";
  } else if (status < 200 || status > 299) {
    answer.why = "token endpoint answered " + code + (parsed.is_object() ? "" : ", not JSON");
  } else if (!parsed.is_object()) {
    answer.why = "token endpoint: the answer is not JSON (" + code + ")";
  } else if (text("access_token").empty()) {
    answer.why = "token endpoint: no access_token in the answer";
  } else if (!bearerShaped(text("access_token"))) {
    answer.why = "token endpoint: the access_token is no bearer token (control characters, blanks, or over " +
                 std::to_string(kTokenLimit) + " octets)";
  } else if (const std::string_view type = text("token_type");
             !type.empty() && !(type.size() == 6 && OPENSSL_strncasecmp(type.data(), "bearer", 6) == 0)) {
    answer.why = "token endpoint: token_type " + safeText(type, endpoint, refresh) + ", not Bearer";
  } else if (const std::string_view rotated = text("refresh_token"); !rotated.empty() && !bearerShaped(rotated)) {
    answer.why = "token endpoint: the refresh_token is not usable";
  } else {
    answer.token = text("access_token");
    answer.refreshToken = text("refresh_token");
    if (parsed.contains("expires_in")) answer.lifetime = lifetimeOf(parsed["expires_in"]);
  }
  // The parsed copies of the secrets go with `parsed`: wiped first.
  for (const char* name : {"access_token", "refresh_token"}) {
    if (std::string* value = member(name)) wipe(*value);
  }
}

// libcurl's global set-up, once per process and before any handle, whatever thread comes first.
bool curlReady() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

// One request to the endpoint.
Answer ask(const TokenEndpoint& endpoint, const std::string& refresh) {
  Answer answer;
  if (!curlReady()) {
    answer.why = "token endpoint: libcurl could not start";
    return answer;
  }
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
  headers = headers != nullptr ? curl_slist_append(headers, "Accept: application/json") : nullptr;
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);
  if (!curl || !headerList) throw std::bad_alloc();
  std::string body = formBody(curl.get(), endpoint, refresh), received;
  char error[CURL_ERROR_SIZE] = {};
  CURL* h = curl.get();
  const long ms = static_cast<long>(endpoint.timeout.count());
  curl_easy_setopt(h, CURLOPT_URL, endpoint.url.c_str());
  // https only, no redirect (the secret would follow it), no proxy from the environment.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, ms);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, ms);
  curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!endpoint.caFile.empty()) {
    curl_easy_setopt(h, CURLOPT_CAINFO, endpoint.caFile.c_str());
  } else {
    curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &defaultTrust);
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  const CURLcode rc = curl_easy_perform(h);
  wipe(body);
  if (rc != CURLE_OK) {
    wipe(received);
    // The endpoint not reached, or gone silent: a later request may get through. A certificate
    // that fails the check, a URL libcurl refuses or an answer too large would fail again.
    answer.transient = rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_CONNECT ||
                       rc == CURLE_OPERATION_TIMEDOUT || rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR ||
                       rc == CURLE_GOT_NOTHING || rc == CURLE_PARTIAL_FILE;
    answer.why = rc == CURLE_OPERATION_TIMEDOUT ? "token endpoint: no answer within " + std::to_string(ms) + " ms"
                 : rc == CURLE_WRITE_ERROR
                     ? "token endpoint: the answer is over " + std::to_string(kAnswerLimit / 1024) + " KiB"
                     : "token endpoint: " + safeText(error[0] != '\0' ? error : curl_easy_strerror(rc), endpoint, refresh);
    return answer;
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  readAnswer(status, received, endpoint, refresh, answer);
  return answer;
}
}  // namespace

struct TokenProvider::State {
  TokenEndpoint endpoint;
  std::mutex lock;
  std::condition_variable fetched;
  Token current;
  bool fetching = false;
  std::string refreshToken;  // the latest the endpoint handed out (rotation), kept for the node's life
  std::string failure;
  bool failureTransient = false;
  Clock::time_point failedUntil{};

  ~State() {
    wipe(endpoint.clientSecret);
    wipe(endpoint.refreshToken);
    wipe(refreshToken);
  }
};

TokenProvider::TokenProvider(TokenEndpoint endpoint) : state_(std::make_unique<State>()) {
  state_->refreshToken = endpoint.refreshToken;
  state_->endpoint = std::move(endpoint);
  curlReady();  // at the settings load, not under a mail's bound
}

TokenProvider::~TokenProvider() = default;

Token TokenProvider::token(std::string& why, bool* transient) noexcept {
  bool ignored = false;
  bool& notNow = transient != nullptr ? *transient : ignored;
  notNow = false;
  try {
    State& s = *state_;
    std::unique_lock<std::mutex> guard(s.lock);
    for (;;) {
      const auto now = Clock::now();
      const bool live = s.current && now < s.current->expires;
      // Due for renewal only: it serves on while another thread renews it, or after a failed
      // renewal until its end.
      if (live && (now < s.current->renewAt || s.fetching || now < s.failedUntil)) return s.current;
      if (now < s.failedUntil) {
        why = s.failure;
        notNow = s.failureTransient;
        return nullptr;
      }
      if (!s.fetching) break;
      // The fetch under way is bounded by the endpoint's bound; this wait too, in case.
      if (!s.fetched.wait_for(guard, s.endpoint.timeout + std::chrono::seconds(5), [&] { return !s.fetching; })) {
        why = "token endpoint: no answer within " + std::to_string(s.endpoint.timeout.count()) + " ms";
        notNow = true;
        return nullptr;
      }
    }
    s.fetching = true;
    std::string refresh = s.refreshToken;
    guard.unlock();
    Answer answer;
    try {
      answer = ask(s.endpoint, refresh);
    } catch (...) {
      answer.why = "token endpoint: no memory";
    }
    wipe(refresh);
    guard.lock();
    s.fetching = false;
    const auto now = Clock::now();
    if (answer.why.empty()) {
      auto fresh = std::make_shared<BearerToken>();
      fresh->value = std::move(answer.token);
      fresh->fetched = now;
      fresh->expires = now + answer.lifetime;
      // Renewed when less than a minute, or for a short-lived token a tenth of its life, is left.
      fresh->renewAt = fresh->expires - std::min<Clock::duration>(std::chrono::minutes(1), answer.lifetime / 10);
      s.current = std::move(fresh);
      if (!answer.refreshToken.empty() && answer.refreshToken != s.refreshToken) {
        wipe(s.refreshToken);
        s.refreshToken = std::move(answer.refreshToken);
      }
      s.failure.clear();
      s.failedUntil = {};
    } else {
      s.failure = answer.why;
      s.failureTransient = answer.transient;
      s.failedUntil = now + (answer.transient ? Clock::duration(kTransientHold) : Clock::duration(kFailureHold));
    }
    wipe(answer.token);
    wipe(answer.refreshToken);
    s.fetched.notify_all();
    if (s.current && now < s.current->expires) return s.current;
    why = s.failure;
    notNow = s.failureTransient;
    return nullptr;
  } catch (...) {
    why = "token endpoint: no memory";
    return nullptr;
  }
}

bool TokenProvider::refused(const Token& token) noexcept {
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.lock);
  if (token != s.current) return true;  // another thread dropped or renewed it already
  if (!token->accepted.load() && Clock::now() - token->fetched < kFailureHold) return false;
  s.current.reset();
  return true;
}


bool bearerShaped(std::string_view token) noexcept {
  return !token.empty() && token.size() <= kTokenLimit &&
         std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

bool usableTokenUrl(const std::string& url) noexcept {
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return false;
  char* scheme = nullptr;
  char* host = nullptr;
  char* user = nullptr;
  const bool usable = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                      curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                      std::string_view(scheme) == "https" &&
                      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK && host[0] != '\0' &&
                      curl_url_get(parsed, CURLUPART_USER, &user, 0) == CURLUE_NO_USER;
  curl_free(scheme);
  curl_free(host);
  curl_free(user);
  curl_url_cleanup(parsed);
  return usable;
}

}  // namespace smtp
