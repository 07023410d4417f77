// Secure submission, kept connections and a provider's limits against real aiosmtpd servers
// (numbered sessions, certificates made by the openssl command at test time): TLS, AUTH,
// verification, bounds, IPv6, refused settings, echoed secrets, servers that ignore QUIT, a
// resolver gone, client certificates, how many connections a run of mails takes, also from
// several threads (each thread's mails arriving intact and its result text its own), a server
// that refuses a fourth connection, transient refusals tried again, and the rate the server
// sees; the node's OAuth2 token from a real token endpoint, shared by its threads, and its one
// new try beside the tries of a transient failure.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "SimpleSMTP/oauth_token.h"
#include "SimpleSMTP/smtp_internal.h"
#include "scripted_peer.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

using smtptest::Attributes;

namespace {
// What the server does, as flags.
enum : int { kPlain = 0, kStartTls = 1, kImplicit = 2, kAuth = 4, kSilent = 8 };

// Mail i's body: a line of its own, then i kilobytes.
std::string bodyOf(int i) { return "body of " + std::to_string(i) + "\n" + std::string(i * 1000, 'b'); }

Attributes with(Attributes attributes, const Attributes& more) {
  attributes.insert(more.begin(), more.end());
  return attributes;
}

// The TLS notes of a traced run ("TLS started: ..."), with the server each names, in order.
std::mutex tlsNotesLock;
std::vector<std::pair<std::string, std::string>> tlsNotes;
void noteTls(smtp::TraceKind kind, std::string_view server, unsigned long, std::string_view text) noexcept {
  if (kind != smtp::TraceKind::Note || !text.starts_with("TLS started")) return;
  const std::lock_guard<std::mutex> guard(tlsNotesLock);
  tlsNotes.emplace_back(server, text);
}

// A name the resolver knows once (as 127.0.0.1) and never again: an outage after the first mail.
constexpr std::string_view kResolvesOnce = "resolves-once.test";
std::atomic<int> resolvedOnce{0};
}  // namespace

// Every name lookup of this program passes here on its way to the C library's.
extern "C" int getaddrinfo(const char* name, const char* service, const addrinfo* hints, addrinfo** found) noexcept {
  using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (name != nullptr && name == kResolvesOnce) {
    if (resolvedOnce++ > 0) return EAI_AGAIN;
    name = "127.0.0.1";
  }
  return real(name, service, hints, found);
}

TEST(Secure, SubmissionAndKeptConnectionsThroughEachKindOfServer) {
  const testsupport::Certificates certs;
  const std::string& ca = certs.ca;
  const Attributes login = {{"SMTPUser", "ann"}, {"SMTPPassword", "secret-pw"}}, reuse = {{"ConnectionReuse", "yes"}};
  const Attributes clientCert = {{"Security", "starttls"}, {"TLSCAFile", ca}, {"TLSClientCert", certs.client}};
  const std::vector<std::string> asksCert = {"--client-ca", certs.client};
  const char *ip = "127.0.0.1", *local = "localhost";
  const struct Case {
    const char* what;
    int server;
    const char* host;
    Attributes attributes;
    int code = 0;              // of every mail not refused
    std::string text = {};     // its text, or the start of it
    int mails = 1, sessions = 1;  // sessions: exactly, or at most with several threads
    int threads = 1;
    int refuseEvery = 0;       // every that many mails one goes to a refused recipient (550)
    int pauseMs = 0;           // before a thread checks its result text, and then sends its next mail
    std::vector<std::string> more = {};  // further options of smtp_server.py
    int lost = -1;             // the mail the server takes in and then closes on, unanswered
    int attempts = 1;          // of every mail not refused
    int stored = -1;           // mails the server keeps, when not those sent
    double seconds = 0;        // the least the run takes: sooner breaks a limit
    const char* alias = nullptr;  // the same server under another name, for every second mail
  } cases[] = {
      {"wrong password", kStartTls | kAuth, ip,
       {{"Security", "starttls"}, {"TLSCAFile", ca}, {"SMTPUser", "ann"}, {"SMTPPassword", "wrong-pw"}}, 1004,
       "535 5.7.8 Authentication credentials invalid"},
      // After AUTH every reply is scrubbed: the password split over two lines, its base64, the
      // PLAIN blob's; a password too short to look for leaves only the code.
      {"a later reply echoing the password", kStartTls | kAuth, local,
       with(login, {{"Security", "starttls"}, {"TLSCAFile", ca}}), -1,
       "550-5.7.1 you said **** 550-***** or ************ 550 or ********************", 1, 1, 1, 0, 0,
       {"--echo-secret"}},
      {"echoing a short password", kStartTls, local,
       {{"Security", "starttls"}, {"TLSCAFile", ca}, {"SMTPUser", "ann"}, {"SMTPPassword", "pw"}}, -1,
       "550 (reply text withheld)", 1, 1, 1, 0, 0, {"--auth", "ann:pw", "--echo-secret"}},
      {"certificate for another address", kImplicit, "::1", {{"Security", "tls"}, {"TLSCAFile", ca}}, 1104,
       "TLS handshake failed: certificate verify failed (IP address mismatch)"},
      {"not verified", kStartTls, "::1", {{"Security", "starttls"}, {"TLSVerify", "no"}}},
      {"implicit TLS and AUTH", kImplicit | kAuth, ip, with(login, {{"Security", "tls"}, {"TLSCAFile", ca}})},
      {"implicit TLS to a plain server", kPlain, ip, {{"Security", "tls"}}, 1104, "TLS handshake failed: no TLS answer"},
      {"never greets", kSilent, ip, {{"TimeoutSeconds", "1"}}, -1, "Unknown TCP/IP error"},
      {"credentials without Security", kPlain, ip, login, 1106, "credentials would be sent unencrypted: set Security"},
      // Settings, not the handshake: a CA file holding no certificate (here a key) is refused.
      {"CA file without a certificate", kPlain, ip, {{"Security", "tls"}, {"TLSCAFile", certs.key}}, 1110,
       "TLS settings cannot be used: TLSCAFile " + certs.dir + "/key.pem: no certificate in it"},
      {"an issuer not trusted here", kImplicit, ip, {{"Security", "tls"}}, 1104, "TLS handshake failed: certificate "
       "verify failed (self-signed certificate): an issuer not trusted here (an internal CA?): set TLSCAFile"},
      // The greeting's wait runs out against TLS from the first byte, and says what to set.
      {"STARTTLS against TLS from the first byte", kImplicit, ip, {{"Security", "starttls"}, {"TimeoutSeconds", "1"}},
       -1, "Unknown TCP/IP error: 127.0.0.1:{port} sent nothing within 1 s (a server of TLS from the first byte, as "
       "on port 465, waits for the client to begin: then set Security=tls)"},
      {"no reuse by default: a connection per mail", kPlain, local, {}, 0, "", 5, 5},
      {"50 mails over one connection", kPlain, local, reuse, 0, "", 50, 1},
      {"server closes after every fifth mail", kPlain, local, reuse, 0, "", 20, 4, 1, 0, 0, {"--close-after", "5"}},
      {"421 to MAIL FROM on a kept connection", kPlain, local, reuse, 0, "", 6, 3, 1, 0, 0, {"--refuse-after", "2"}},
      // The mail data went out: that mail fails, and no second connection sends it again.
      {"closed unanswered after a kept connection's second mail", kPlain, local, reuse, 0, "", 2, 1, 1, 0, 0,
       {"--vanish-after", "2"}, 1},
      {"refused recipient, RSET, next mail alike", kPlain, local, reuse, 0, "", 3, 1, 1, 2},
      // Past IdleSeconds or MaxMailsPerConnection a kept connection is closed (a new session
      // each time), and closing never waits for QUIT's reply (each mail is timed).
      {"idle past IdleSeconds, QUIT ignored", kPlain, local, with(reuse, {{"IdleSeconds", "0.2"}}), 0, "", 3, 3, 1, 0,
       400, {"--ignore-quit"}},
      {"MaxMailsPerConnection=2, QUIT ignored", kPlain, local, with(reuse, {{"MaxMailsPerConnection", "2"}}), 0, "",
       6, 3, 1, 0, 0, {"--ignore-quit"}},
      {"resolver gone after the first mail: the kept connection serves on", kPlain, kResolvesOnce.data(), reuse, 0,
       "", 3, 1},
      {"four threads, a connection per mail, every second mail refused", kPlain, local, {}, 0, "", 32, 16, 4, 2, 2},
      {"STARTTLS and AUTH on kept connections, four threads sharing one TLS context", kStartTls | kAuth, local,
       with(with(reuse, login), {{"Security", "starttls"}, {"TLSCAFile", ca}}), 0, "", 12, 4, 4},
      {"unusable reuse value", kPlain, local, with(reuse, {{"MaxMailsPerConnection", "0"}}), 1108,
       "ConnectionReuse must be empty or yes"},
      {"client certificate asked for and shown", kStartTls, local, with(clientCert, {{"TLSClientKey", certs.clientKey}}),
       0, "", 1, 1, 1, 0, 0, asksCert},
      {"client certificate asked for, none shown", kImplicit, local, {{"Security", "tls"}, {"TLSCAFile", ca}}, 1104,
       "TLS handshake failed: the server asked for a client certificate", 1, 1, 1, 0, 0, asksCert},
      {"client key not the certificate's", kPlain, local, with(clientCert, {{"TLSClientKey", certs.key}}),
       1110, "TLS settings cannot be used: TLSClientKey does not match TLSClientCert (key values mismatch)"},
      {"client key under a passphrase", kPlain, local, with(clientCert, {{"TLSClientKey", certs.dir + "/encrypted-key.pem"}}),
       1110, "TLS settings cannot be used: TLSClientKey is encrypted"},
      {"token endpoint over http", kPlain, local,
       with(login, {{"SMTPAuth", "xoauth2"}, {"OAuthTokenURL", "http://127.0.0.1/token"}, {"OAuthClientId", "app"}}),
       1112, "unusable settings: OAuthTokenURL must be an https URL"},
      {"unusable limit", kPlain, local, {{"RetryTransient", "11"}}, 1120, "MaxConnections, MaxMailsPerMinute"},
      // A server that greets a fourth connection with 432: never met, with or without kept ones.
      {.what = "MaxConnections=3, eight threads", .server = kPlain, .host = local, .attributes = {{"MaxConnections", "3"}},
       .mails = 24, .sessions = 24, .threads = 8, .more = {"--max-sessions", "3"}},
      // Kept ones replaced every second mail (the last three may serve one): a place comes free
      // only once the server let go.
      {.what = "MaxConnections=3 kept, eight threads", .server = kPlain, .host = local,
       .attributes = with(reuse, {{"MaxConnections", "3"}, {"MaxMailsPerConnection", "2"}}), .mails = 48,
       .sessions = 25, .threads = 8, .more = {"--max-sessions", "3"}},
      // 421 to two MAIL FROMs of three: the third try goes, after about 1 s and 2 s (at least 3/4).
      {.what = "transient refusals tried again", .server = kPlain, .host = local, .attributes = {{"RetryTransient", "3"}},
       .sessions = 3, .more = {"--busy-mails", "2"}, .attempts = 3, .seconds = 2.25},
      // Refused after the mail data (the server kept it), or a recipient refused: never again.
      {.what = "451 after the data", .server = kPlain, .host = local, .attributes = {{"RetryTransient", "3"}},
       .code = 1004, .text = "451 4.3.0 try later", .more = {"--data-reply", "451 4.3.0 try later"}, .stored = 1},
      {.what = "550 to a recipient", .server = kPlain, .host = local, .attributes = {{"RetryTransient", "3"}}, .mails = 2,
       .sessions = 2, .refuseEvery = 2},
      // 120 mails at 1200 a minute: one every 50 ms, whichever of four threads sends it.
      {.what = "MaxMailsPerMinute=1200", .server = kPlain, .host = local, .attributes = {{"MaxMailsPerMinute", "1200"}},
       .mails = 120, .sessions = 120, .threads = 4, .seconds = 119 * 0.05},
      // Sessions are kept per server: each name's first handshake is full (its certificate and
      // name checked) and every later one resumed, though tickets come only on those first
      // connections (as from Postfix, none on a resumed one).
      {.what = "TLS resumed per server name", .server = kImplicit, .host = local,
       .attributes = {{"Security", "tls"}, {"TLSCAFile", ca}, {"Trace", "yes"}}, .mails = 6, .sessions = 6,
       .more = {"--tickets-for", "2"}, .alias = ip},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tlsNotes.clear();
    std::vector<std::string> options = c.more;
    if (c.server & (kStartTls | kImplicit))
      options.insert(options.end(), {"--cert", certs.ca, "--key", certs.key});
    if (c.server & kImplicit) options.push_back("--implicit-tls");
    if (c.server & kAuth) options.insert(options.end(), {"--auth", "ann:secret-pw"});
    if (std::string(c.host) == "::1") options.insert(options.end(), {"--host", "::1"});
    std::optional<testsupport::SmtpTestServer> server;
    std::optional<testsupport::ScriptedPeer> silent;  // accepts, never greets
    if (c.server == kSilent) silent.emplace(std::vector{testsupport::PeerStep::silent()});
    else server.emplace(options);

    std::atomic<std::size_t> sent{0};
    smtptest::Settings settings = smtptest::settingsOf(c.attributes, c.alias != nullptr ? &noteTls : nullptr);
    const auto begin = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> threads;  // joined before the settings go
      for (int t = 0; t < c.threads; ++t) {
        threads.emplace_back([&, t] {
          for (int i = t; i < c.mails; i += c.threads) {
            const bool refused = c.refuseEvery && i % c.refuseEvery == c.refuseEvery - 1;
            const smtptest::Mail mail{.to = refused ? "refuse@example.com" : "t" + std::to_string(t) + "@example.com",
                                      .subject = "mail " + std::to_string(i), .body = bodyOf(i)};
            const auto start = std::chrono::steady_clock::now();
            const char* host = c.alias != nullptr && i % 2 == 1 ? c.alias : c.host;
            const smtptest::Result r = smtptest::send(server ? server->port() : silent->port(), mail, host, settings);
            // No mail waits out a bound it must not: QUIT's reply (30 s), the connect bound for a place.
            EXPECT_LT(std::chrono::steady_clock::now() - start,
                      std::chrono::duration<double>(2 * c.seconds) + smtp::replyTimeout(SMTP_PROTO_QUIT) / 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
            EXPECT_STREQ(r.raw, r.text.c_str()) << "the text changed while other threads sent mail";
            const bool lost = i == c.lost;
            EXPECT_EQ(r.code, refused || lost ? -1 : c.code) << i << ": " << r.text;
            const std::string text = refused ? "550 refused by trigger" : lost ? "Error during communication"
                                                                             : smtptest::atPort(c.text, server ? server->port() : 0);
            EXPECT_EQ(r.text.substr(0, std::max(text.size(), std::size_t{1})), text);
            EXPECT_EQ(r.text.find("secret-pw"), std::string::npos);
            EXPECT_EQ(r.text.find_first_of("\r\n"), std::string::npos);
            EXPECT_EQ(r.attempts, refused ? 1 : c.attempts);
            EXPECT_EQ(r.tls, r.code == 0 && c.server & (kStartTls | kImplicit) ? "TLSv1.3" : "");
            sent += r.code == 0 ? 1 : 0;
          }
        });
      }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    // Never sooner; later as far as a loaded machine (and a busy Python server) may delay it.
    EXPECT_TRUE(c.seconds == 0 || (took.count() >= c.seconds && took.count() < 2 * c.seconds + 3)) << took.count();
    // The node goes, with QUIT on what it kept: one wait for all of them, a second at most (and as
    // much again for a busy machine), never QUIT's 30 s.
    const auto removal = std::chrono::steady_clock::now();
    settings.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - removal, std::chrono::milliseconds(2000));
    if (!server) continue;
    // The server kept the lost mail too.
    const std::size_t stored = c.stored >= 0 ? c.stored : sent + (c.lost >= 0 ? 1 : 0);
    const auto mails = server->waitForMails(stored);
    std::set<std::string> subjects;
    std::set<int> sessions;
    const auto rate = c.attributes.find("MaxMailsPerMinute"), cap = c.attributes.find("MaxConnections");
    // The starts the server saw: in no second many more than the rate allows (a busy server may
    // take in a few late ones together), never a burst.
    std::multiset<double> starts;
    for (const auto& m : mails) {
      starts.insert(m.at);
      if (rate != c.attributes.end()) {
        EXPECT_LE(std::distance(starts.lower_bound(m.at - 1), starts.end()), std::stoi(rate->second) / 40);
      }
      if (cap != c.attributes.end()) { EXPECT_LE(m.open, std::stoi(cap->second)); }
      subjects.insert(m.subject);
      sessions.insert(m.session);
      const int i = std::stoi(m.subject.substr(5));
      EXPECT_EQ(m.rcptTos, std::vector<std::string>{"t" + std::to_string(i % c.threads) + "@example.com"});
      EXPECT_EQ(m.body, testsupport::crlf(bodyOf(i)) + "\r\n\r\n");
    }
    EXPECT_EQ(mails.size(), stored);  // with as many subjects: each mail exactly once
    EXPECT_EQ(subjects.size(), stored);
    EXPECT_GE(sessions.size(), std::min<std::size_t>(sent, c.threads > 1 ? 1 : c.sessions));
    EXPECT_LE(sessions.size(), static_cast<std::size_t>(c.sessions));
    if (c.alias == nullptr) continue;
    std::map<std::string, int> handshakes;  // by server name
    for (const auto& [name, note] : tlsNotes)
      EXPECT_EQ(note.ends_with(", session resumed"), handshakes[name]++ > 0) << name << ": " << note;
    EXPECT_EQ(handshakes.size(), 2u);
  }
}

// XOAUTH2 and OAUTHBEARER against aiosmtpd taking only the token endpoint's live tokens (or the
// one given with --token): the node's token, renewed, rotated, refetched once when revoked (that
// try counted, beside the tries of a 421), never refetched for a server that refuses every
// token; the message's own token; the initial response on the AUTH line or after an empty 334;
// the JSON challenge of a refusal; an endpoint's error (not tried again), silence (tried again)
// or untrusted certificate; a mechanism the server does not offer.
TEST(Secure, BearerTokensThroughBothMechanisms) {
  const testsupport::Certificates certs;
  const std::string big(13000, 'b'), mid(3000, 'm');
  const struct Case {
    const char* what;
    Attributes attributes;               // beyond Security, TLSCAFile, SMTPUser and the OAuth* ones
    std::vector<std::string> endpoint;   // token_server.py's options beyond --client
    std::vector<std::string> smtp = {};  // smtp_server.py's options beyond --cert, --key, --oauth
    std::string own = {};                // the message's AccessToken (of every odd mail, with `alternate`)
    int mails = 2, threads = 1, pauseMs = 0;
    std::size_t requests = 1, mostRequests = 1;
    int code = 0;
    std::string text = {};
    bool inlined = true, alternate = false;
    int attempts = 1;  // of the last mail (the others: 1)
    double renewEvery = 0;  // short-lived tokens: at most one request more per so many seconds of the run
  } cases[] = {
      {"client credentials, XOAUTH2", {{"SMTPAuth", "xoauth2"}}, {}},
      {"eight threads at once, kept connections: one request",
       {{"SMTPAuth", "xoauth2"}, {"ConnectionReuse", "yes"}}, {"--delay", "0.3"}, {}, "", 16, 8},
      // Renewed with a tenth of its second left: never more often than every 0.9 s, however long
      // a busy machine takes over the five mails.
      {.what = "refresh token, OAUTHBEARER, a one-second token renewed with the rotated refresh token",
       .attributes = {{"SMTPAuth", "oauthbearer"}, {"OAuthRefreshToken", "rt-first"}},
       .endpoint = {"--refresh", "rt-first", "--rotate", "--lifetime", "1"}, .mails = 5, .pauseMs = 450,
       .requests = 2, .renewEvery = 0.9},
      {.what = "revoked after its first use: one new token, the mail delivered", .attributes = {{"SMTPAuth", "xoauth2"}},
       .endpoint = {}, .smtp = {"--accept-once"}, .requests = 2, .mostRequests = 2, .attempts = 2},
      // 421 to the first MAIL FROM, then the token taken there refused: the pause, the new token's
      // try at once, neither repeating the other.
      {.what = "revoked while a 421 is tried again", .attributes = {{"SMTPAuth", "xoauth2"}, {"RetryTransient", "2"},
       {"RetryMaxSeconds", "0.05"}}, .endpoint = {}, .smtp = {"--accept-once", "--busy-mails", "1"}, .mails = 1,
       .requests = 2, .mostRequests = 2, .attempts = 3},
      {"a server refusing every token: no new request per mail", {{"SMTPAuth", "xoauth2"}}, {},
       {"--oauth", "/nonexistent"}, "", 3, 1, 0, 1, 1, 1004, "535 5.7.8 Username and Password not accepted (token status 401)"},
      {"the message's own token wins", {{"SMTPAuth", "oauthbearer"}}, {}, {"--token", mid}, mid, 1, 1, 0, 0, 0},
      {"kept connections: the message's own token never rides on the node's", {{"SMTPAuth", "oauthbearer"},
       {"ConnectionReuse", "yes"}}, {}, {"--token", "own-token"}, "own-token", 4, 1, 0, 1, 1, 0, "", true, true},
      // One place for two credentials: the other one's idle kept connection closes to make room.
      {.what = "MaxConnections=1 over the node's token and the message's", .attributes = {{"SMTPAuth", "oauthbearer"},
       {"ConnectionReuse", "yes"}, {"MaxConnections", "1"}}, .endpoint = {}, .smtp = {"--token", "own-token",
       "--max-sessions", "1"}, .own = "own-token", .mails = 4, .alternate = true},
      {"a 13 000-octet token after an empty 334", {{"SMTPAuth", "xoauth2"}}, {}, {"--token", big}, big, 1, 1, 0, 0, 0,
       0, "", false},
      {"the message's token refused: the challenge answered, its status", {{"SMTPAuth", "oauthbearer"}}, {}, {},
       "not-live", 1, 1, 0, 0, 0, 1004, "535 5.7.8 Username and Password not accepted (token status invalid_token)"},
      {"the message's token with a line break: refused before anything is sent", {{"SMTPAuth", "xoauth2"}}, {}, {},
       "bad\r\nAUTH PLAIN", 1, 1, 0, 0, 0, 1113, "no access token: the message's AccessToken is no bearer token"},
      {"the endpoint's error, held", {{"SMTPAuth", "xoauth2"}, {"RetryTransient", "2"}},
       {"--error", "invalid_client:AADSTS7000215 Invalid client secret s3cret-app"}, {}, "", 3, 1, 0, 1, 1, 1113,
       "no access token: token endpoint: invalid_client: AADSTS7000215 Invalid client secret ********** (HTTP 400)"},
      // Starred out before the text is cut: no part of the secret is left at the cut.
      {"a secret where the endpoint's text is cut", {{"SMTPAuth", "xoauth2"}},
       {"--error", "invalid_client:" + std::string(295, 'x') + " s3cret-app"}, {}, "", 1, 1, 0, 1, 1, 1113,
       "no access token: token endpoint: invalid_client: " + std::string(295, 'x') + " ****..."},
      // A busy endpoint is asked again by the mail's next try, which gets its token.
      {.what = "an endpoint busy once, the mail tried again", .attributes = {{"SMTPAuth", "xoauth2"},
       {"RetryTransient", "1"}}, .endpoint = {"--busy", "1"}, .mails = 1, .requests = 2, .mostRequests = 2,
       .attempts = 2},
      {.what = "an endpoint gone silent, held, the mail tried again", .attributes = {{"SMTPAuth", "xoauth2"},
       {"TimeoutSeconds", "1"}, {"RetryTransient", "1"}, {"RetryMaxSeconds", "0.05"}}, .endpoint = {"--delay", "3"},
       .mails = 1, .requests = 0, .code = 1113, .text = "no access token: token endpoint: no answer within 1000 ms",
       .attempts = 2},
      // TLSVerify=no is for the relay: the endpoint that gets the client secret is checked still.
      {"an endpoint the system's trust store does not know", {{"SMTPAuth", "xoauth2"}, {"TLSCAFile", ""},
       {"TLSVerify", "no"}}, {}, {}, "",
       1, 1, 0, 0, 0, 1113, "no access token: token endpoint: SSL certificate problem: self-signed certificate"},
      {"a mechanism the server does not offer", {{"SMTPAuth", "oauthbearer"}}, {}, {"--mechanisms", "XOAUTH2"}, "", 1,
       1, 0, 1, 1, 1105, "AUTH not offered by the server: it does not offer OAUTHBEARER"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> endpointOptions = {"--client", "app:s3cret-app"};
    endpointOptions.insert(endpointOptions.end(), c.endpoint.begin(), c.endpoint.end());
    testsupport::TokenTestServer endpoint(certs.dir, endpointOptions);
    std::vector<std::string> smtpOptions = {"--cert", certs.ca, "--key", certs.key, "--oauth", endpoint.stateFile()};
    smtpOptions.insert(smtpOptions.end(), c.smtp.begin(), c.smtp.end());
    testsupport::SmtpTestServer server(smtpOptions);
    smtptest::Settings settings = smtptest::settingsOf(
        with(c.attributes, {{"Security", "starttls"}, {"TLSCAFile", certs.ca}, {"SMTPUser", "ann,=x@example.com"},
                            {"OAuthTokenURL", endpoint.url()}, {"OAuthClientId", "app"},
                            {"OAuthClientSecret", "s3cret-app"}, {"OAuthScope", "https://mail.example/.default"}}));
    std::atomic<int> sent{0}, late{0};
    const auto begin = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < c.threads; ++t) {
        threads.emplace_back([&, t] {
          for (int i = t; i < c.mails; i += c.threads) {
            const std::string own = c.alternate && i % 2 == 0 ? "" : c.own;
            const smtptest::Mail mail{.subject = std::to_string(i), .accessToken = own};
            const smtptest::Result r = smtptest::send(server.port(), mail, "localhost", settings);
            EXPECT_EQ(r.code, c.code) << r.text;
            EXPECT_EQ(r.text.substr(0, c.text.size()), c.text);
            const int attempts = i + 1 == c.mails ? c.attempts : 1;
            // A one-second token may run out between its renewal and the server's check when the
            // machine is busy: taken again once, at most once in the run.
            if (c.renewEvery > 0 && r.attempts == attempts + 1)
              ++late;
            else
              EXPECT_EQ(r.attempts, attempts);
            for (const std::string& secret : {std::string("s3cr"), c.own.empty() ? "tok-secret" : c.own})
              EXPECT_EQ(r.text.find(secret), std::string::npos);
            sent += r.code == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
          }
        });
      }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    settings.reset();
    EXPECT_LE(late.load(), 1);
    EXPECT_GE(endpoint.grants().size(), c.requests);
    EXPECT_LE(endpoint.grants().size(), c.renewEvery > 0 ? 1 + static_cast<std::size_t>(took.count() / c.renewEvery)
                                                         : c.mostRequests);
    for (const auto& m : server.waitForMails(static_cast<std::size_t>(sent))) {
      EXPECT_EQ(m.auth.mechanism, c.attributes.at("SMTPAuth") == "xoauth2" ? "XOAUTH2" : "OAUTHBEARER");
      EXPECT_EQ(m.auth.user, "ann,=x@example.com");
      EXPECT_EQ(m.auth.token == c.own, !c.own.empty() && !(c.alternate && std::stoi(m.subject) % 2 == 0));
      EXPECT_EQ(m.auth.inlined, c.inlined);
    }
    EXPECT_EQ(server.mails().size(), static_cast<std::size_t>(c.code == 0 ? c.mails : 0));
  }
}
