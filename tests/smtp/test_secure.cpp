// Secure submission against real servers (aiosmtpd with certificates made by the openssl
// command at test time): STARTTLS, implicit TLS, AUTH, verification, bounds, IPv6; the
// settings the node refuses; and, scripted, that a missing STARTTLS stops after EHLO.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "SimpleSMTP/smtp.h"
#include "scripted_peer.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

using smtptest::Attributes;
using testsupport::SmtpTestServer;

namespace {
enum class Server { Plain, StartTls, StartTlsOtherName, Implicit, ImplicitOtherName, Silent };
}  // namespace

TEST(Secure, SubmissionThroughEachKindOfServer) {
  const testsupport::TestCertificates certs;
  const std::string ca = certs.ca();
  const Attributes startTlsLogin = {{"Security", "starttls"}, {"TLSCAFile", ca}, {"SMTPUser", "ann"},
                                    {"SMTPPassword", "secret-pw"}};
  struct Case {
    const char* what;
    Server server;
    bool auth;  // the server requires AUTH as ann / secret-pw
    const char* host;
    Attributes attributes;
    int code;
    std::string text;  // the text, or the start of it
    std::string login;  // when delivered: who logged in
  };
  Attributes wrongPassword = startTlsLogin;
  wrongPassword["SMTPPassword"] = "wrong-pw";
  const std::vector<Case> cases = {
      {"STARTTLS and AUTH, name checked", Server::StartTls, true, "localhost", startTlsLogin, 0, "", "ann"},
      {"wrong password", Server::StartTls, true, "127.0.0.1", wrongPassword, 1004,
       "535 5.7.8 Authentication credentials invalid\r\n", ""},
      {"certificate for another name", Server::ImplicitOtherName, false, "127.0.0.1",
       {{"Security", "tls"}, {"TLSCAFile", ca}}, 1104,
       "TLS handshake failed: certificate verify failed (IP address mismatch)", ""},
      {"not verified", Server::StartTlsOtherName, false, "127.0.0.1",
       {{"Security", "starttls"}, {"TLSVerify", "no"}}, 0, "", ""},
      {"implicit TLS and AUTH", Server::Implicit, true, "127.0.0.1",
       {{"Security", "tls"}, {"TLSCAFile", ca}, {"SMTPUser", "ann"}, {"SMTPPassword", "secret-pw"}}, 0, "", "ann"},
      {"implicit TLS to a plain server", Server::Plain, false, "127.0.0.1", {{"Security", "tls"}}, 1104,
       "TLS handshake failed: no TLS answer", ""},
      {"never greets", Server::Silent, false, "127.0.0.1", {{"TimeoutSeconds", "1"}}, -1,
       "Unknown TCP/IP error", ""},
      {"credentials without Security", Server::Plain, false, "127.0.0.1",
       {{"SMTPUser", "ann"}, {"SMTPPassword", "secret-pw"}}, 1106,
       "credentials would be sent unencrypted: set Security", ""},
      {"bad Security", Server::Plain, false, "127.0.0.1", {{"Security", "STARTTLS!"}}, 1100,
       "Security must be empty, starttls or tls", ""},
      {"unreadable CA file", Server::Plain, false, "127.0.0.1",
       {{"Security", "tls"}, {"TLSCAFile", "/nonexistent.pem"}}, 1104,
       "TLS handshake failed: TLSCAFile cannot be read: /nonexistent.pem", ""},
      {"IPv6", Server::Plain, false, "::1", {}, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool implicit = c.server == Server::Implicit || c.server == Server::ImplicitOtherName;
    std::vector<std::string> options;
    if (c.server != Server::Plain && c.server != Server::Silent)
      options = certs.serverOptions(c.server == Server::StartTlsOtherName || c.server == Server::ImplicitOtherName);
    if (implicit) options.push_back("--implicit-tls");
    if (c.auth) options.insert(options.end(), {"--auth", "ann:secret-pw"});
    if (std::string(c.host) == "::1") options.insert(options.end(), {"--host", "::1"});
    std::optional<SmtpTestServer> server;
    const smtptest::ListenProbe silent;  // listens, never accepts: no greeting
    if (c.server != Server::Silent) server.emplace(options);
    const uint16_t port = server ? server->port() : silent.port();

    const auto settings = smtptest::settingsOf(c.attributes);
    const auto start = std::chrono::steady_clock::now();
    const smtptest::Result r = smtptest::send(*settings, port, smtptest::Mail{}, c.host);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.text.substr(0, std::max(c.text.size(), std::size_t{1})), c.text) << r.text;
    EXPECT_EQ(r.text.find("secret-pw"), std::string::npos);
    if (!server) continue;
    const auto mails = server->waitForMails(c.code == 0 ? 1 : 0, std::chrono::seconds(c.code == 0 ? 10 : 0));
    ASSERT_EQ(mails.size(), c.code == 0 ? 1u : 0u);
    if (c.code != 0) continue;
    EXPECT_EQ(mails[0].tls, c.server != Server::Plain);
    EXPECT_EQ(mails[0].login, c.login);
  }

  // A server without STARTTLS: refused, and nothing after EHLO, not even QUIT.
  testsupport::ScriptedPeer peer({testsupport::PeerStep::send("220 hi\r\n"), testsupport::PeerStep::expectLine(),
                                  testsupport::PeerStep::send("250-hi\r\n250 AUTH PLAIN\r\n")});
  const auto settings = smtptest::settingsOf({{"Security", "starttls"}});
  const smtptest::Result r = smtptest::send(*settings, peer.port(), smtptest::Mail{}, "127.0.0.1");
  EXPECT_EQ(r.code, 1103);
  EXPECT_EQ(r.text.rfind("STARTTLS not offered by the server", 0), 0u) << r.text;
  EXPECT_EQ(peer.lines(), std::vector<std::string>{"EHLO " + smtptest::localHost()});
}
