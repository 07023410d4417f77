// Kept connections against a real aiosmtpd that numbers its sessions: how many connections a run
// of mails takes, that a server closing between mails loses and fails none, RSET after a
// refusal, TLS and AUTH once per connection, four threads at once; and, scripted, pipelining.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "scripted_peer.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

using smtptest::Attributes;
using testsupport::PeerStep;
using testsupport::SmtpTestServer;

namespace {
Attributes with(Attributes base, const Attributes& more) {
  for (const auto& [name, value] : more) base[name] = value;
  return base;
}
const Attributes kReuse = {{"ConnectionReuse", "yes"}};
}  // namespace

TEST(Reuse, ConnectionsAMailRunTakes) {
  const testsupport::TestCertificates certs;
  std::vector<std::string> tlsServer = certs.serverOptions();
  tlsServer.insert(tlsServer.end(), {"--auth", "ann:secret-pw"});
  struct Case {
    const char* what;
    std::vector<std::string> server;  // smtp_server.py's options
    Attributes attributes;
    int mails;
    int refused;  // the mail (by index) that goes to a refused recipient, or -1
    int pauseMs;  // between two mails
    int sessions;
    int code = 0;  // of every mail not refused
  };
  const std::vector<Case> cases = {
      {"off by default: a connection per mail", {}, {}, 5, -1, 0, 5},
      {"50 mails over one connection", {}, kReuse, 50, -1, 0, 1},
      {"MaxMailsPerConnection=10", {}, with(kReuse, {{"MaxMailsPerConnection", "10"}}), 50, -1, 0, 5},
      {"server closes after every fifth mail", {"--close-after", "5"}, kReuse, 20, -1, 0, 4},
      {"421 to MAIL FROM on a kept connection", {"--refuse-after", "2"}, kReuse, 6, -1, 0, 3},
      {"refused recipient, RSET, next mail alike", {}, kReuse, 3, 1, 0, 1},
      {"idle past IdleSeconds", {}, with(kReuse, {{"IdleSeconds", "0.2"}}), 3, -1, 400, 3},
      {"STARTTLS and AUTH once per connection", tlsServer,
       with(kReuse, {{"Security", "starttls"}, {"TLSCAFile", certs.ca()}, {"SMTPUser", "ann"},
                     {"SMTPPassword", "secret-pw"}}),
       10, -1, 0, 1},
      {"unusable value", {}, with(kReuse, {{"MaxMailsPerConnection", "0"}}), 1, -1, 0, 0, 1108},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SmtpTestServer server(c.server);
    std::size_t expected = 0;
    {
      const smtptest::Settings settings = smtptest::settingsOf(c.attributes);
      for (int i = 0; i < c.mails; ++i) {
        smtptest::Mail mail;
        mail.subject = "mail " + std::to_string(i);
        if (i == c.refused) mail.to = "refuse@example.com";
        const smtptest::Result r = smtptest::send(*settings, server.port(), mail, "localhost");
        EXPECT_EQ(r.code != 0, i == c.refused || c.code != 0) << i << ": " << r.text;
        if (c.code != 0) {
          EXPECT_EQ(r.code, c.code);
        }
        if (r.code == 0) ++expected;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
      }
    }  // the settings go, with QUIT on what they kept
    const auto mails = server.waitForMails(expected);
    std::set<std::string> subjects;
    std::set<int> sessions;
    for (const auto& m : mails) {
      subjects.insert(m.subject);
      sessions.insert(m.session);
      if (c.attributes.count("SMTPUser") != 0) {
        EXPECT_TRUE(m.tls && m.login == "ann");
      }
    }
    EXPECT_EQ(mails.size(), expected);
    EXPECT_EQ(subjects.size(), expected);
    EXPECT_EQ(sessions.size(), static_cast<std::size_t>(c.sessions));
  }
}

TEST(Reuse, FourThreadsUseAtMostFourConnections) {
  constexpr int kThreads = 4, kEach = 25;
  SmtpTestServer server;
  {
    const smtptest::Settings settings = smtptest::settingsOf(kReuse);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          smtptest::Mail mail;
          mail.subject = std::to_string(t) + "/" + std::to_string(i);
          EXPECT_EQ(smtptest::send(*settings, server.port(), mail, "127.0.0.1").code, 0);
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const auto mails = server.waitForMails(kThreads * kEach);
  std::map<std::string, int> copies;
  std::set<int> sessions;
  for (const auto& m : mails) {
    ++copies[m.subject];
    sessions.insert(m.session);
  }
  EXPECT_EQ(copies.size(), static_cast<std::size_t>(kThreads * kEach));
  for (const auto& [subject, n] : copies) EXPECT_EQ(n, 1) << subject;
  EXPECT_LE(sessions.size(), static_cast<std::size_t>(kThreads));
}

// The second of two recipients refused: with pipelining every command is out before the first
// reply (the peer answers nothing until it has them all), and the failure is the same as one by one.
TEST(Reuse, PipelinedRefusalReadsAsOneByOne) {
  const std::string refusal = "550 5.1.1 no such user\r\n";
  const auto greeting = [](const char* ehlo) {
    return std::vector<PeerStep>{PeerStep::send("220 peer\r\n"), PeerStep::expectLine(), PeerStep::send(ehlo)};
  };
  std::vector<PeerStep> pipelined = greeting("250-peer\r\n250 PIPELINING\r\n");
  for (int i = 0; i < 4; ++i) pipelined.push_back(PeerStep::expectLine());
  // DATA is accepted, as one recipient was: the client must then close without sending the mail.
  pipelined.push_back(PeerStep::send("250 ok\r\n250 ok\r\n" + refusal + "354 go\r\n"));
  std::vector<PeerStep> oneByOne = greeting("250 peer\r\n");
  for (const std::string reply : {"250 ok\r\n", "250 ok\r\n", refusal.c_str(), "250 reset\r\n", "221 bye\r\n"}) {
    oneByOne.push_back(PeerStep::expectLine());
    oneByOne.push_back(PeerStep::send(reply));
  }
  std::vector<smtptest::Result> results;
  for (const auto& script : {pipelined, oneByOne}) {
    testsupport::ScriptedPeer peer(script);
    {
      const smtptest::Settings settings = smtptest::settingsOf(kReuse);
      smtptest::Mail mail;
      mail.to = "a@example.com;b@example.com";
      results.push_back(smtptest::send(*settings, peer.port(), mail, "127.0.0.1"));
    }
    EXPECT_EQ(peer.received().find("Body"), std::string::npos);
    EXPECT_EQ(peer.lines().at(1), "MAIL FROM:<sender@example.com>");
  }
  EXPECT_EQ(results[0].code, results[1].code);
  EXPECT_EQ(results[0].text, refusal);
  EXPECT_EQ(results[1].text, refusal);
}
