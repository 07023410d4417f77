// Secure submission against real servers (aiosmtpd with certificates made by the openssl
// command at test time): STARTTLS, implicit TLS, AUTH, verification, bounds, IPv6; the
// settings the node refuses; and, scripted, that a missing STARTTLS stops after EHLO.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "scripted_peer.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

using smtptest::Attributes;

namespace {
// What the server does, as flags.
enum : int { kPlain = 0, kStartTls = 1, kImplicit = 2, kOtherName = 4, kAuth = 8, kSilent = 16 };
}  // namespace

TEST(Secure, SubmissionThroughEachKindOfServer) {
  const testsupport::TestCertificates certs;
  const std::string ca = certs.ca();
  const Attributes login = {{"SMTPUser", "ann"}, {"SMTPPassword", "secret-pw"}};
  const auto with = [](Attributes a, const Attributes& more) { return a.insert(more.begin(), more.end()), a; };
  const struct Case {
    const char* what;
    int server;
    const char* host;
    Attributes attributes;
    int code;
    std::string text;   // the text, or the start of it
    std::string login = {};  // when delivered: who logged in
  } cases[] = {
      {"STARTTLS and AUTH, name checked", kStartTls | kAuth, "localhost",
       with(login, {{"Security", "starttls"}, {"TLSCAFile", ca}}), 0, "", "ann"},
      {"wrong password", kStartTls | kAuth, "127.0.0.1",
       {{"Security", "starttls"}, {"TLSCAFile", ca}, {"SMTPUser", "ann"}, {"SMTPPassword", "wrong-pw"}}, 1004,
       "535 5.7.8 Authentication credentials invalid\r\n"},
      {"certificate for another name", kImplicit | kOtherName, "127.0.0.1", {{"Security", "tls"}, {"TLSCAFile", ca}},
       1104, "TLS handshake failed: certificate verify failed (IP address mismatch)"},
      {"not verified", kStartTls | kOtherName, "127.0.0.1", {{"Security", "starttls"}, {"TLSVerify", "no"}}, 0, ""},
      {"implicit TLS and AUTH", kImplicit | kAuth, "127.0.0.1", with(login, {{"Security", "tls"}, {"TLSCAFile", ca}}), 0,
       "", "ann"},
      {"implicit TLS to a plain server", kPlain, "127.0.0.1", {{"Security", "tls"}}, 1104,
       "TLS handshake failed: no TLS answer"},
      {"never greets", kSilent, "127.0.0.1", {{"TimeoutSeconds", "1"}}, -1, "Unknown TCP/IP error"},
      {"credentials without Security", kPlain, "127.0.0.1", login, 1106,
       "credentials would be sent unencrypted: set Security"},
      {"bad Security", kPlain, "127.0.0.1", {{"Security", "STARTTLS!"}}, 1100, "Security must be empty, starttls or tls"},
      {"unreadable CA file", kPlain, "127.0.0.1", {{"Security", "tls"}, {"TLSCAFile", "/nonexistent.pem"}}, 1104,
       "TLS handshake failed: TLSCAFile cannot be read: /nonexistent.pem"},
      {"IPv6", kPlain, "::1", {}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> options;
    if (c.server & (kStartTls | kImplicit)) options = certs.serverOptions(c.server & kOtherName);
    if (c.server & kImplicit) options.push_back("--implicit-tls");
    if (c.server & kAuth) options.insert(options.end(), {"--auth", "ann:secret-pw"});
    if (std::string(c.host) == "::1") options.insert(options.end(), {"--host", "::1"});
    std::optional<testsupport::SmtpTestServer> server;
    const smtptest::ListenProbe silent;  // listens, never accepts: no greeting
    if (c.server != kSilent) server.emplace(options);

    const auto start = std::chrono::steady_clock::now();
    const smtptest::Result r =
        smtptest::send(server ? server->port() : silent.port(), {}, c.host, smtptest::settingsOf(c.attributes));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.text.substr(0, std::max(c.text.size(), std::size_t{1})), c.text) << r.text;
    EXPECT_EQ(r.text.find("secret-pw"), std::string::npos);
    if (!server) continue;
    const auto mails = server->waitForMails(c.code == 0 ? 1 : 0, std::chrono::seconds(c.code == 0 ? 10 : 0));
    ASSERT_EQ(mails.size(), c.code == 0 ? 1u : 0u);
    if (c.code != 0) continue;
    EXPECT_EQ(mails[0].tls, c.server != kPlain);
    EXPECT_EQ(mails[0].login, c.login);
  }

  // A server without STARTTLS: refused, and nothing after EHLO, not even QUIT.
  testsupport::ScriptedPeer peer({testsupport::PeerStep::send("220 hi\r\n"), testsupport::PeerStep::expectLine(),
                                  testsupport::PeerStep::send("250-hi\r\n250 AUTH PLAIN\r\n")});
  const smtptest::Result r = smtptest::send(peer.port(), {}, "127.0.0.1", smtptest::settingsOf({{"Security", "starttls"}}));
  EXPECT_EQ(r.code, 1103);
  EXPECT_EQ(r.text.rfind("STARTTLS not offered by the server", 0), 0u) << r.text;
  EXPECT_EQ(peer.lines(), std::vector<std::string>{"EHLO " + smtptest::localHost()});
}
