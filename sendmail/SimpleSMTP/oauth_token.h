// The node's OAuth2 bearer token: asked for at the token endpoint (RFC 6749: client credentials,
// or a refresh token) over HTTPS with libcurl, shared by every thread of the node, renewed before
// it runs out, dropped when a server refuses it. Nothing here is exported.
#ifndef SENDMAIL_SIMPLESMTP_OAUTH_TOKEN_H
#define SENDMAIL_SIMPLESMTP_OAUTH_TOKEN_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace smtp {

// Where and how the node asks: the OAuth* attributes, with the SMTP connection's trust and bound.
// The endpoint's certificate is always checked: TLSVerify=no is for a lab relay, and the client
// secret must never go to a peer nobody verified.
struct TokenEndpoint {
  std::string url;  // https only
  std::string clientId, clientSecret, scope;
  std::string refreshToken;  // set: the refresh_token grant; empty: client_credentials
  std::string caFile;        // TLSCAFile; empty: the system's trust store
  std::chrono::milliseconds timeout{30000};  // the whole request
};

// One token as a mail uses it. A renewal does not take it from a mail under way: it goes (wiped)
// when the last mail using it lets it go.
struct BearerToken {
  std::string value;
  std::chrono::steady_clock::time_point fetched, renewAt, expires;
  std::atomic<bool> accepted{false};  // a server took it once
  ~BearerToken();
};
using Token = std::shared_ptr<BearerToken>;

class TokenProvider {
 public:
  explicit TokenProvider(TokenEndpoint endpoint);
  ~TokenProvider();
  TokenProvider(const TokenProvider&) = delete;
  TokenProvider& operator=(const TokenProvider&) = delete;

  // A live token, or null with `why` telling what failed and `*transient` (when given) whether
  // the endpoint could not be asked for now (no answer, a busy or failing endpoint: HTTP 429 or
  // 5xx) rather than refusing or answering with nothing usable. One thread asks the endpoint
  // while the others wait for its answer (or, when the token is only due for renewal, go on with
  // it); after a failure every call says the same for a while without asking again.
  Token token(std::string& why, bool* transient = nullptr) noexcept;
  // A server refused `token`. True when a new token is worth one more try: it was dropped (a
  // token servers took before, or an old one), or another had replaced it already. A token
  // just fetched and never taken is kept, so that a server refusing every token costs no more
  // than one request per hold time.
  bool refused(const Token& token) noexcept;
  // How long a failure is repeated without asking again: a refusal long, so that a node with
  // wrong credentials does not hammer the endpoint; a transient one (no answer, 429, 5xx) only
  // briefly, so that a mail tried again after RetryTransient's pause (at least 0.75 s) asks anew.
  static constexpr std::chrono::milliseconds kFailureHold{30000};
  static constexpr std::chrono::milliseconds kTransientHold{500};

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Whether `url` is one the provider may ask: https, with a host, no user or password in it.
bool usableTokenUrl(const std::string& url) noexcept;
// Whether `token` is one a bearer token can be (RFC 6750): visible ASCII without blanks, at most
// 32 KiB.
bool bearerShaped(std::string_view token) noexcept;

}  // namespace smtp

#endif
