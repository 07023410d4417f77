// Kept connections against a real aiosmtpd that numbers its sessions: how many connections a run
// of mails takes (also from four threads), that a server closing between mails loses and fails
// none, RSET after a refusal, TLS and AUTH once per connection; and, scripted, pipelining.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "scripted_peer.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

using smtptest::Attributes;
using testsupport::PeerStep;

namespace {
Attributes reuse(Attributes more = {}) {
  more["ConnectionReuse"] = "yes";
  return more;
}
}  // namespace

TEST(Reuse, ConnectionsAMailRunTakes) {
  const testsupport::TestCertificates certs;
  std::vector<std::string> tlsServer = certs.serverOptions();
  tlsServer.insert(tlsServer.end(), {"--auth", "ann:secret-pw"});
  const struct Case {
    const char* what;
    std::vector<std::string> server;  // smtp_server.py's options
    Attributes attributes;
    int mails;
    int sessions;      // exactly, or at most with several threads
    int threads = 1;
    int refused = -1;  // the index of the mail to a refused recipient (550), or -1
    int pauseMs = 0;   // between two mails of a thread
    int code = 0;      // of every mail not refused
  } cases[] = {
      {"off by default: a connection per mail", {}, {}, 5, 5},
      {"50 mails over one connection", {}, reuse(), 50, 1},
      {"MaxMailsPerConnection=10", {}, reuse({{"MaxMailsPerConnection", "10"}}), 50, 5},
      {"server closes after every fifth mail", {"--close-after", "5"}, reuse(), 20, 4},
      {"421 to MAIL FROM on a kept connection", {"--refuse-after", "2"}, reuse(), 6, 3},
      {"refused recipient, RSET, next mail alike", {}, reuse(), 3, 1, 1, 1},
      {"idle past IdleSeconds", {}, reuse({{"IdleSeconds", "0.2"}}), 3, 3, 1, -1, 400},
      {"four threads, at most four connections", {}, reuse(), 100, 4, 4},
      {"STARTTLS and AUTH once per connection, four threads sharing one TLS context", tlsServer,
       reuse({{"Security", "starttls"}, {"TLSCAFile", certs.ca()}, {"SMTPUser", "ann"}, {"SMTPPassword", "secret-pw"}}),
       12, 4, 4},
      {"unusable value", {}, reuse({{"MaxMailsPerConnection", "0"}}), 1, 0, 1, -1, 0, 1108},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::SmtpTestServer server(c.server);
    std::atomic<std::size_t> sent{0};
    {
      const smtptest::Settings settings = smtptest::settingsOf(c.attributes);
      std::vector<std::thread> threads;
      for (int t = 0; t < c.threads; ++t) {
        threads.emplace_back([&, t] {
          for (int i = t; i < c.mails; i += c.threads) {
            smtptest::Mail mail;
            mail.subject = "mail " + std::to_string(i);
            if (i == c.refused) mail.to = "refuse@example.com";
            const smtptest::Result r = smtptest::send(server.port(), mail, "localhost", settings);
            EXPECT_EQ(r.code, i == c.refused ? -1 : c.code) << i << ": " << r.text;
            sent += r.code == 0 ? 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
          }
        });
      }
      for (auto& thread : threads) thread.join();
    }  // the settings go, with QUIT on what they kept
    const auto mails = server.waitForMails(sent);
    std::set<std::string> subjects;
    std::set<int> sessions;
    for (const auto& m : mails) {
      subjects.insert(m.subject);
      sessions.insert(m.session);
      EXPECT_EQ(m.tls && m.login == "ann", c.attributes.count("SMTPUser") == 1);
    }
    EXPECT_EQ(mails.size(), sent);  // with as many subjects: each mail exactly once
    EXPECT_EQ(subjects.size(), sent);
    EXPECT_GE(sessions.size(), static_cast<std::size_t>(c.threads > 1 ? 1 : c.sessions));
    EXPECT_LE(sessions.size(), static_cast<std::size_t>(c.sessions));
  }
}

// The second of two recipients refused: with pipelining every command is out before the first
// reply (the peer answers nothing until it has them all), and the outcome is the refusal's reply
// as one by one; DATA was accepted for the first recipient, so the client closes, mail unsent.
TEST(Reuse, PipelinedRefusalReadsAsOneByOne) {
  std::vector<PeerStep> script = {PeerStep::send("220 peer\r\n"), PeerStep::expectLine(),
                                  PeerStep::send("250-peer\r\n250 PIPELINING\r\n")};
  script.insert(script.end(), 4, PeerStep::expectLine());
  script.push_back(PeerStep::send("250 ok\r\n250 ok\r\n550 5.1.1 no such user\r\n354 go\r\n"));
  testsupport::ScriptedPeer peer(script);
  smtptest::Mail mail;
  mail.to = "a@example.com;b@example.com";
  const smtptest::Result r = smtptest::send(peer.port(), mail, "127.0.0.1", smtptest::settingsOf(reuse()));
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.text, "550 5.1.1 no such user\r\n");
  EXPECT_EQ(peer.lines().size(), 5u) << peer.received();  // EHLO, MAIL, two RCPT, DATA: no mail
}
