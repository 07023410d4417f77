// Faults no real server produces on demand, played by a scripted peer: refusals and drops at
// each step, replies split or spread over lines, over-long and malformed replies, silence; and
// the set-up failures (port 0, unknown host, refused connect). Each failure checks the code,
// the text, that no command followed it, and that the client closed the connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "SimpleSMTP/smtp_internal.h"
#include "scripted_peer.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

using smtptest::Mail;
using testsupport::PeerStep;
using testsupport::ScriptedPeer;
using Script = std::vector<PeerStep>;

namespace {

const smtp::Millis kShort{400};

// The greeting and the exchanges before the step under test, then that step's reply.
Script until(std::size_t acceptedCommands, std::vector<PeerStep> then) {
  Script full = testsupport::acceptingScript(3);
  // acceptingScript: greeting, then (expect, reply) pairs: HELO, MAIL, 3 x RCPT, DATA, data, QUIT.
  full.resize(1 + 2 * acceptedCommands);
  full.insert(full.end(), then.begin(), then.end());
  return full;
}

Mail threeRecipients() {
  Mail mail;
  mail.to = "one@example.com; two@example.com";
  mail.cc = "three@example.com";
  return mail;
}

struct Failure {
  int code;
  std::string text;
  std::size_t commands;  // lines the client sent, up to the one refused
  bool peerDropped = false;
};

void expectFailure(ScriptedPeer& peer, const smtptest::Result& r, const Failure& f) {
  EXPECT_EQ(r.code, f.code);
  EXPECT_EQ(r.text, f.text);
  const auto lines = peer.lines();
  EXPECT_EQ(lines.size(), f.commands) << "nothing may follow the failure: "
                                      << (lines.empty() ? "" : lines.back());
  EXPECT_TRUE(f.peerDropped || peer.clientClosed());
  for (const auto& line : lines) EXPECT_NE(line, "QUIT");
}

}  // namespace

TEST(Faults, GreetingRefusedOrMissing) {
  smtp::ScopedTimeouts fast(kShort);
  const std::vector<std::pair<Script, int>> cases = {
      {{PeerStep::send("421 busy\r\n")}, 1001},
      {{PeerStep::send("554 go away\r\n")}, -1},
      {{PeerStep::send("22")}, -1},  // too short, then silence
      {{PeerStep::drop()}, -1},
      {{PeerStep::silent()}, -1}};
  for (const auto& [script, code] : cases) {
    ScriptedPeer peer(script);
    const bool dropped = script.front().kind == PeerStep::Kind::Drop;
    expectFailure(peer, smtptest::send(peer.port(), Mail{}),
                  {code, "Unknown TCP/IP error", 0, dropped});
  }
}

TEST(Faults, RefusalsAtEachStepHandOutTheServersReply) {
  struct Case {
    std::size_t accepted;
    std::string reply;
    int code;
  };
  const std::vector<Case> cases = {
      {0, "504 no HELO\r\n", 1002},        {0, "421 closing\r\n", 1004},
      {1, "550 sender refused\r\n", -1},   {1, "452 too many\r\n", 1008},
      {1, "251 not for MAIL\r\n", -1},     {3, "553 second refused\r\n", 1004},
      {3, "551 user not local\r\n", 1009}, {5, "554 no data\r\n", 1004},
      {5, "2500 looks like 250\r\n", -1}};
  for (const Case& c : cases) {
    ScriptedPeer peer(until(c.accepted, {PeerStep::expectLine(), PeerStep::send(c.reply)}));
    expectFailure(peer, smtptest::send(peer.port(), threeRecipients()),
                  {c.code, c.reply, c.accepted + 1});
  }
  // The mail data refused: at its end; at its end after a stray 250 that came with DATA's 354;
  // during it, the server then closing while the client still sends (the reply is the text).
  struct DataCase {
    std::vector<PeerStep> then;
    std::size_t bodyBytes;
    int code;
    std::string text;
  };
  const std::vector<DataCase> dataCases = {
      {{PeerStep::expectLine(), PeerStep::send("354 go\r\n"), PeerStep::expectData(),
        PeerStep::send("552 too big\r\n")}, 0, 1008, "552 too big\r\n"},
      {{PeerStep::expectLine(), PeerStep::send("354 go\r\n250 early\r\n"), PeerStep::expectData(),
        PeerStep::send("554 no\r\n")}, 0, 1004, "554 no\r\n"},
      {{PeerStep::expectLine(), PeerStep::send("354 go\r\n"),
        PeerStep::sendSplit("552 5.3.4 Message too big\r\n", 64, smtp::Millis(300)), PeerStep::drop()},
       16 << 20, 1008, "552 5.3.4 Message too big\r\n"}};
  for (const DataCase& c : dataCases) {
    Mail mail = threeRecipients();
    if (c.bodyBytes > 0) mail.body = std::string(c.bodyBytes, 'b');
    ScriptedPeer peer(until(5, c.then));
    const smtptest::Result r = smtptest::send(peer.port(), mail);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.text, c.text);
    const auto lines = peer.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "QUIT"), 0);
    if (c.bodyBytes == 0) {
      EXPECT_EQ(lines.back(), ".");
    }
  }
}

TEST(Faults, ConnectionLostAfterEachCommand) {
  smtp::ScopedTimeouts fast(kShort);
  for (std::size_t accepted = 0; accepted <= 5; ++accepted) {
    for (const PeerStep& end : {PeerStep::drop(), PeerStep::silent()}) {
      ScriptedPeer peer(until(accepted, {PeerStep::expectLine(), end}));
      const smtptest::Result r = smtptest::send(peer.port(), threeRecipients());
      EXPECT_EQ(r.code, -1) << accepted;
      EXPECT_EQ(r.text, "Error during communication") << accepted;
      EXPECT_EQ(peer.lines().size(), accepted + 1) << accepted;
    }
  }
  // After the mail data: the mail is not known to be accepted, so the mail fails.
  ScriptedPeer peer(until(6, {PeerStep::expectData(), PeerStep::drop()}));
  const smtptest::Result r = smtptest::send(peer.port(), threeRecipients());
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.text, "Error during communication");
}

TEST(Faults, QuitReplyDoesNotMatterOnceTheMailIsAccepted) {
  smtp::ScopedTimeouts fast(kShort);
  for (const PeerStep& end : {PeerStep::send("500 what\r\n"), PeerStep::drop(), PeerStep::silent()}) {
    ScriptedPeer peer(until(7, {PeerStep::expectLine(), end}));
    const smtptest::Result r = smtptest::send(peer.port(), threeRecipients());
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(peer.lines().back(), "QUIT");
  }
}

TEST(Faults, RepliesSplitByteByByteOrSpreadOverLinesOrSentEarly) {
  // Every reply arrives one byte at a time.
  Script split;
  for (PeerStep step : testsupport::acceptingScript(3)) {
    if (step.kind == PeerStep::Kind::Send) step = PeerStep::sendSplit(step.bytes, 1);
    split.push_back(step);
  }
  // Multi-line replies, and a 250 whose further lines come in later segments.
  Script multi = testsupport::acceptingScript(3);
  multi[0] = PeerStep::send("220-welcome\r\n220-to the\r\n220 peer\r\n");
  multi[2] = PeerStep::sendSplit("250-hello\r\n250-SIZE 100\r\n250 HELP\r\n", 7);
  // Bytes after HELO's reply, before MAIL FROM went out, answer nothing: a second reply, or a
  // line that is no reply line at all. MAIL FROM waits for its own reply.
  Script early = testsupport::acceptingScript(3);
  early[2] = PeerStep::send("250 hello\r\n250 sent too early\r\n");
  Script stray = testsupport::acceptingScript(3);
  stray[2] = PeerStep::send("250 hello\r\nnot a reply line\r\n");
  for (const Script& script : {split, multi, early, stray}) {
    ScriptedPeer peer(script);
    const smtptest::Result r = smtptest::send(peer.port(), threeRecipients());
    EXPECT_EQ(r.code, 0) << r.text;
    const auto lines = peer.lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[1], "MAIL FROM:<sender@example.com>");
    EXPECT_EQ(lines.back(), "QUIT");
  }
  // A multi-line refusal is handed out whole.
  const std::string refusal = "550-first line\r\n550-second line\r\n550 last line\r\n";
  ScriptedPeer peer(until(1, {PeerStep::expectLine(), PeerStep::sendSplit(refusal, 5)}));
  expectFailure(peer, smtptest::send(peer.port(), threeRecipients()), {-1, refusal, 2});
}

TEST(Faults, OverLongRepliesAreCappedAndTheDialogueStaysInStep) {
  const std::string longLine = "250-" + std::string(30000, 'x') + "\r\n";
  Script script = testsupport::acceptingScript(3);
  script[2] = PeerStep::send(longLine + longLine + "250 done\r\n");
  {
    ScriptedPeer peer(script);
    const smtptest::Result r = smtptest::send(peer.port(), threeRecipients());
    EXPECT_EQ(r.code, 0) << r.text.substr(0, 80);
    EXPECT_EQ(peer.lines().back(), "QUIT");
  }
  const std::string refusal = "550-" + std::string(20000, 'y') + "\r\n550 end\r\n";
  ScriptedPeer peer(until(1, {PeerStep::expectLine(), PeerStep::send(refusal)}));
  const smtptest::Result r = smtptest::send(peer.port(), threeRecipients());
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.text.size(), smtp::kReplyBufferSize - 1);
  EXPECT_EQ(r.text, refusal.substr(0, smtp::kReplyBufferSize - 1));
  EXPECT_EQ(peer.lines().size(), 2u);
  EXPECT_TRUE(peer.clientClosed());
}

TEST(Faults, NulBytesAndBareLineFeedsInReplies) {
  ScriptedPeer peer(until(1, {PeerStep::expectLine(), PeerStep::send(std::string("550 a\0b\n", 8))}));
  expectFailure(peer, smtptest::send(peer.port(), threeRecipients()), {-1, "550 a b\n", 2});
}

TEST(Faults, SetUpFailuresNeedNoServer) {
  smtptest::Result r = smtptest::send(0, Mail{});
  EXPECT_EQ(r.code, 101);
  EXPECT_EQ(r.text, "TCP/IP bad port");
  r = smtptest::send(25, Mail{}, "bad..name");  // refused by the resolver without a query
  EXPECT_EQ(r.code, 102);
  EXPECT_EQ(r.text, "TCP/IP host unknown");
  r = smtptest::send(25, Mail{}, nullptr);
  EXPECT_EQ(r.code, 102);

  uint16_t closedPort;
  {
    smtptest::ListenProbe probe;  // a port that was just free: nobody listens once it is gone
    closedPort = probe.port();
  }
  r = smtptest::send(closedPort, Mail{});
  EXPECT_EQ(r.code, 104);
  EXPECT_EQ(r.text, "TCP/IP connection failed");
}

TEST(Faults, ConnectToAServerThatNeverAcceptsIsBounded) {
  // A listener whose accept queue is full drops further connection attempts unanswered,
  // as a black-holed address would.
  uint16_t port = 0;
  const int listener = testsupport::listenOnLoopback(port, 0);
  std::vector<int> fillers;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  smtp::ScopedTimeouts fast(kShort);
  const auto start = std::chrono::steady_clock::now();
  const smtptest::Result r = smtptest::send(port, Mail{});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.code, 104);
  EXPECT_EQ(r.text, "TCP/IP connection failed");
  EXPECT_GE(took, kShort - smtp::Millis(50));
  EXPECT_LT(took, std::chrono::seconds(3));
  for (const int fd : fillers) ::close(fd);
  ::close(listener);
}

TEST(Faults, ValuesOfAnyLengthGoOutWhole) {
  Mail mail = threeRecipients();
  const std::string local(200, 'a');  // a path within RFC 5321's 256 octets
  mail.from = "Long " + std::string(5000, 's') + " <" + local + "@example.com>";
  mail.date = std::string(12000, 'd');
  mail.messageId = std::string(12000, 'm');
  std::string subject;
  while (subject.size() < 12000) subject += "subject words ";
  subject.pop_back();  // a blank at the end would not survive folding: that goes out encoded
  mail.subject = subject;
  ScriptedPeer peer(testsupport::acceptingScript(3));
  const smtptest::Result r = smtptest::send(peer.port(), mail);
  EXPECT_EQ(r.code, 0) << r.text;
  const std::string got = peer.received();
  EXPECT_NE(got.find("MAIL FROM:<" + local + "@example.com>\r\n"), std::string::npos);
  EXPECT_NE(got.find("\r\nDate: " + mail.date + "\r\n"), std::string::npos);
  EXPECT_NE(got.find("\r\nMessage-ID: <" + mail.messageId + "@"), std::string::npos);
  // A display name no folding can keep within 998 bytes goes out as encoded-words that decode
  // to it whole; the address, which a server took in MAIL FROM, stays as written.
  const std::size_t from = got.find("\r\nFrom: =?UTF-8?B?");
  ASSERT_NE(from, std::string::npos);
  const std::size_t address = got.find("\r\n <" + local + "@example.com>\r\n", from);
  ASSERT_NE(address, std::string::npos);
  std::string name;
  const std::string field = got.substr(from, address - from);
  for (std::size_t p = 0; (p = field.find("=?UTF-8?B?", p)) != std::string::npos;) {
    const std::size_t end = field.find("?=", p + 10);
    name += testsupport::base64Decode(field.substr(p + 10, end - p - 10));
    p = end;
  }
  EXPECT_EQ(name, "Long " + std::string(5000, 's'));
  const std::size_t at = got.find("\r\nSubject: ");
  ASSERT_NE(at, std::string::npos);
  std::string unfolded = got.substr(at + 11, got.find("\r\nPriority:") - at - 11);
  for (std::size_t p; (p = unfolded.find("\r\n")) != std::string::npos;) unfolded.erase(p, 2);
  EXPECT_EQ(unfolded, subject);
}
