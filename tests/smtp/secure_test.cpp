// Secure submission and kept connections against real aiosmtpd servers (numbered sessions,
// certificates made by the openssl command at test time): TLS, AUTH, verification, bounds, IPv6,
// refused settings, echoed secrets, servers that ignore QUIT, a resolver gone, and how many
// connections a run of mails takes, also from four threads, each thread's mails arriving intact
// and its result text its own.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>

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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
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
    smtptest::Settings settings = smtptest::settingsOf(c.attributes);
    {
      std::vector<std::jthread> threads;  // joined before the settings go
      for (int t = 0; t < c.threads; ++t) {
        threads.emplace_back([&, t] {
          for (int i = t; i < c.mails; i += c.threads) {
            const bool refused = c.refuseEvery && i % c.refuseEvery == c.refuseEvery - 1;
            const smtptest::Mail mail{.to = refused ? "refuse@example.com" : "t" + std::to_string(t) + "@example.com",
                                      .subject = "mail " + std::to_string(i), .body = bodyOf(i)};
            const auto start = std::chrono::steady_clock::now();
            const smtptest::Result r = smtptest::send(server ? server->port() : silent->port(), mail, c.host, settings);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
            EXPECT_STREQ(r.raw, r.text.c_str()) << "the text changed while other threads sent mail";
            const bool lost = i == c.lost;
            EXPECT_EQ(r.code, refused || lost ? -1 : c.code) << i << ": " << r.text;
            const std::string text = refused ? "550 refused by trigger" : lost ? "Error during communication"
                                                                             : smtptest::atPort(c.text, server ? server->port() : 0);
            EXPECT_EQ(r.text.substr(0, std::max(text.size(), std::size_t{1})), text);
            EXPECT_EQ(r.text.find("secret-pw"), std::string::npos);
            EXPECT_EQ(r.text.find_first_of("\r\n"), std::string::npos);
            sent += r.code == 0 ? 1 : 0;
          }
        });
      }
    }
    // The node goes, with QUIT on what it kept: one wait for all of them, a second at most.
    const auto removal = std::chrono::steady_clock::now();
    settings.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - removal, std::chrono::milliseconds(1500));
    if (!server) continue;
    const std::size_t stored = sent + (c.lost >= 0 ? 1 : 0);  // the server kept the lost mail too
    const auto mails = server->waitForMails(stored);
    std::set<std::string> subjects;
    std::set<int> sessions;
    for (const auto& m : mails) {
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
  }
}
