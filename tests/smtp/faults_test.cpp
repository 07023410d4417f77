// Faults no real server produces on demand, played by a scripted peer: refusals and drops at
// each step, replies split or spread over lines, over-long and malformed replies, control
// characters, silence, a reply dripped without end, no STARTTLS offered, plain text after STARTTLS, a pipelined refusal and
// pipelined replies out of step; and the set-up failures (port 0, unknown host, refused connect,
// a connect nobody accepts, no place free under MaxConnections). Each failure checks the code,
// the text (one line, no control character), the step and a refused recipient, that no command
// followed it (no RSET either), and that the client closed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "SimpleSMTP/smtp_connection.h"
#include "scripted_peer.h"
#include "smtp_test_util.h"

using smtptest::Mail;
using testsupport::PeerStep;
using Script = std::vector<PeerStep>;

namespace {

// A row that waits out a silence takes its bound, so that bound is short; but the exchanges
// before the silence must each come within it too while the machine is busy (the suite runs
// while the next build takes both cores), so it is not under a second. A row whose outcome comes
// as soon as the peer acts costs nothing for a long bound, which no busy machine comes near.
const smtp::Millis kWait{1000};
const smtp::Millis kPatient{10000};

// A peer that accepts the whole mail: the greeting, then (expect, reply) pairs for HELO, MAIL,
// three RCPT TO, DATA, the mail data and QUIT.
Script accepting() {
  Script s = {PeerStep::send("220 peer ready\r\n")};
  bool dataAccepted = false;  // the next thing awaited is the mail data
  for (const std::string reply :
       {"250 hello", "250 sender ok", "250 one", "250 two", "250 three", "354 go ahead", "250 queued", "221 bye"}) {
    s.insert(s.end(), {dataAccepted ? PeerStep::expectData() : PeerStep::expectLine(), PeerStep::send(reply + "\r\n")});
    dataAccepted = reply.starts_with("354");
  }
  return s;
}

// The greeting and the `accepted` exchanges before the step under test, then that step's script.
Script until(int accepted, const Script& then) {
  Script full = accepting();
  full.resize(1 + 2 * static_cast<std::size_t>(accepted));
  full.insert(full.end(), then.begin(), then.end());
  return full;
}

Script replyWith(const std::string& bytes, std::size_t chunk = 0) {
  return {PeerStep::expectLine(), chunk ? PeerStep::sendSplit(bytes, chunk) : PeerStep::send(bytes)};
}

}  // namespace

// Each row: the peer's script, the outcome, and the last line the client sent: after a failure
// nothing may follow the command that failed (not even QUIT), and the client closes.
TEST(Faults, RefusalsLossesAndBrokenRepliesAtEachStep) {
  const char* const commands[] = {"HELO ", "MAIL FROM:<sender@example.com>", "RCPT TO:<one@example.com>",
                                  "RCPT TO:<two@example.com>", "RCPT TO:<three@example.com>", "DATA", ".", "QUIT", "EHLO ",
                                  "STARTTLS"};
  const std::string multi = "550-first line\r\n550-second line\r\n550 last line\r\n";
  const std::string overLong = "550-" + std::string(20000, 'y') + "\r\n550 end\r\n";
  const std::string lost = "Error during communication";
  // Without a reply, the fixed text and what the wait saw.
  const std::string busy = "Unknown TCP/IP error: 127.0.0.1:{port} ", within = " within " + smtp::boundText(kWait),
                    partial = busy + "sent no complete greeting" + within;
  const auto data = [](const char* dataReply, const char* endReply) {
    return Script{PeerStep::expectLine(), PeerStep::send(dataReply), PeerStep::expectData(), PeerStep::send(endReply)};
  };
  struct Row {
    Script script;
    int code;
    std::string text;   // empty: the reply the script sent last
    int last;           // index into commands of the last line sent, -1 for none
    std::size_t bodyBytes = 0;
    smtptest::Attributes attributes = {};  // the node's secure-submission settings, if any
    bool tlsAfterLast = false;             // a TLS handshake followed the last line
    int step = -2;                         // where the outcome says it ended; -2: the last line's step
    std::string recipient = {};            // a refused one, when not the last RCPT TO sent
  };
  const int stepOf[] = {SMTP_PROTO_HELO, SMTP_PROTO_MAIL, SMTP_PROTO_RCPT, SMTP_PROTO_RCPT, SMTP_PROTO_RCPT,
                        SMTP_PROTO_DATA, SMTP_PROTO_END_OF_DATA, SMTP_PROTO_QUIT, smtp::kStepEhlo, smtp::kStepStartTls};
  // A kept connection's pipelined batch: the peer answers once it has MAIL FROM, the three
  // RCPT TO and DATA.
  const auto pipelined = [](const std::string& replies) {
    return Script{PeerStep::send("220 peer\r\n"), PeerStep::expectLine(), PeerStep::send("250-peer\r\n250 PIPELINING\r\n"),
                  PeerStep::expectLine(), PeerStep::expectLine(), PeerStep::expectLine(), PeerStep::expectLine(),
                  PeerStep::expectLine(), PeerStep::send(replies)};
  };
  const smtptest::Attributes reuse = {{"ConnectionReuse", "yes"}};
  const std::string outOfStep = "the server's replies were out of step: ";
  std::vector<Row> rows = {
      // A greeting refusal says why; silence, a close or a reply too short says nothing.
      {{PeerStep::send("421 busy\r\n")}, 1001, "", -1}, {{PeerStep::send("554 go away\r\n")}, -1, "", -1},
      {{PeerStep::send("432 4.3.2 Concurrent connections limit exceeded\r\n")}, -1, "", -1},
      {{PeerStep::send("22")}, -1, partial, -1},  // too short, then silence
      {{PeerStep::send("22\r\n")}, -1, busy + "greeted with a line that is no reply", -1},
      {{PeerStep::drop()}, -1, busy + "closed the connection without a greeting", -1},
      // Silence, or a TLS record, where the greeting should be: the other Security value to try.
      {{PeerStep::silent()}, -1, busy + "sent nothing" + within + " (a server of TLS from the first byte, as on port "
                                        "465, waits for the client to begin: then set Security=tls)", -1},
      {{PeerStep::send(std::string("\x15\x03\x03\x00\x02\x02\x46", 7))}, -1,
       busy + "answered in TLS, not with a greeting: it wants TLS from the first byte: set Security=tls", -1},
      // A greeting dripped a byte every 20 ms, never complete: the bound holds however the bytes come.
      {{PeerStep::sendSplit(std::string(300, '2'), 1, smtp::Millis(20))}, -1, partial, -1},
      {until(0, replyWith("504 no HELO\r\n")), 1002, "", 0}, {until(0, replyWith("421 closing\r\n")), 1004, "", 0},
      {until(0, replyWith("555 bad\r\n")), 1007, "", 0},
      {until(1, replyWith("550 sender refused\r\n")), -1, "", 1}, {until(1, replyWith("452 too many\r\n")), 1008, "", 1},
      {until(1, replyWith("251 not for MAIL\r\n")), -1, "", 1}, {until(3, replyWith("553 second refused\r\n")), 1004, "", 3},
      {until(3, replyWith("551 user not local\r\n")), 1009, "", 3}, {until(5, replyWith("554 no data\r\n")), 1004, "", 5},
      {until(5, replyWith("2500 looks like 250\r\n")), -1, "", 5},
      // A multi-line refusal is handed out whole, on one line.
      {until(1, replyWith(multi, 5)), -1, "550-first line 550-second line 550 last line", 1},
      {until(1, replyWith(std::string("550 a\0b\n", 8))), -1, "550 a b", 1},  // NUL and bare LF
      {until(1, replyWith("550-\x1b[31mred\x1b\r\n550 a\rb\x7f\x01\r\n")), -1, "550- [31mred  550 a b  ", 1},
      {until(1, replyWith(overLong)), -1, overLong.substr(0, smtp::kReplyBufferSize - 1), 1},  // capped
      {until(5, data("354 go\r\n", "552 too big\r\n")), 1008, "", 6},
      {until(5, data("354 go\r\n250 early\r\n", "554 no\r\n")), 1004, "", 6},  // a stray 250 with DATA's 354
      // Refused while the client still sends: the server closes, the reply is the text.
      {until(5, {PeerStep::expectLine(), PeerStep::send("354 go\r\n"),
                 PeerStep::sendSplit("552 5.3.4 Message too big\r\n", 64, smtp::Millis(300)), PeerStep::drop()}),
       1008, "552 5.3.4 Message too big", 5, 16 << 20, {}, false, SMTP_PROTO_END_OF_DATA},
      // Once the mail data is accepted, QUIT's reply does not matter.
      {until(7, replyWith("500 what\r\n")), 0, "", 7},
      // STARTTLS asked for but not offered: nothing after EHLO, not even QUIT.
      {{PeerStep::send("220 hi\r\n"), PeerStep::expectLine(), PeerStep::send("250-hi\r\n250 AUTH PLAIN\r\n")}, 1103,
       "STARTTLS not offered by the server", 8, 0, {{"Security", "starttls"}}},
      // Plain text where the TLS handshake should start, after the 220 to STARTTLS: no advice to
      // set what is set.
      {{PeerStep::send("220 hi\r\n"), PeerStep::expectLine(), PeerStep::send("250-hi\r\n250 STARTTLS\r\n"),
        PeerStep::expectLine(), PeerStep::send("220 go\r\n"), PeerStep::sendSplit("250 injected\r\n", 64, smtp::Millis(100))},
       1104, "TLS handshake failed: no TLS answer: plain text after the server's 220 to STARTTLS (sent by the server, "
       "or injected on the way)", 9, 0, {{"Security", "starttls"}}, true},
      // Pipelined: every command is out before the first reply (the peer answers nothing until it
      // has them all), and a refused second recipient reads as one by one; DATA was accepted
      // for the others, so the client closes, mail unsent.
      {pipelined("250 ok\r\n250 ok\r\n550 5.1.1 no such user\r\n250 ok\r\n354 go\r\n"), -1, "550 5.1.1 no such user", 5, 0,
       reuse, false, SMTP_PROTO_RCPT, "two@example.com"},
      // Replies out of step with the batch (a line that is no reply, a reply too many, a code
      // the command cannot give): closed at once, no RSET, the mail not sent.
      {pipelined("250 ok\r\nnot a reply line\r\n250 ok\r\n250 ok\r\n354 go\r\n"), 1109, outOfStep + "not a reply line", 5,
       0, reuse, false, SMTP_PROTO_RCPT},
      {pipelined("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 ok\r\n"), 1109,
       outOfStep + "more replies than commands", 5, 0, reuse},
      {pipelined("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n"), 1109, outOfStep + "354 go", 5, 0, reuse, false,
       SMTP_PROTO_RCPT}};
  // Lost or silent after each command, the data included.
  for (int accepted = 0; accepted <= 7; ++accepted)
    for (const PeerStep& end : {PeerStep::drop(), PeerStep::silent()})
      rows.push_back({until(accepted, {accepted == 6 ? PeerStep::expectData() : PeerStep::expectLine(), end}),
                      accepted == 7 ? 0 : -1, accepted == 7 ? "" : lost, accepted});
  // Replies split byte by byte, spread over lines, or with bytes after HELO's reply that answer
  // nothing (a second reply, a line that is no reply line, over-long lines): MAIL FROM waits
  // for its own reply.
  Script split, multiLine = accepting(), early = multiLine, stray = early, longLines = early;
  for (PeerStep step : accepting())
    split.push_back(step.kind == PeerStep::Kind::Send ? PeerStep::sendSplit(step.bytes, 1) : step);
  multiLine[0] = PeerStep::send("220-welcome\r\n220-to the\r\n220 peer\r\n");
  multiLine[2] = PeerStep::sendSplit("250-hello\r\n250-SIZE 100\r\n250 HELP\r\n", 7);
  early[2] = PeerStep::send("250 hello\r\n250 sent too early\r\n");
  stray[2] = PeerStep::send("250 hello\r\nnot a reply line\r\n");
  const std::string longLine = "250-" + std::string(30000, 'x') + "\r\n";
  longLines[2] = PeerStep::send(longLine + longLine + "250 done\r\n");
  for (const Script& script : {split, multiLine, early, stray, longLines}) rows.push_back({script, 0, "", 7});

  for (const Row& row : rows) {
    const PeerStep& end = row.script.back();
    SCOPED_TRACE(std::to_string(row.last) + " " + end.bytes.substr(0, 40));
    // A silence, or a reply never complete (no line end, nor a close after it), is waited out;
    // everything else ends at once.
    const bool waits = end.kind == PeerStep::Kind::Silent || (end.kind == PeerStep::Kind::Send && !end.bytes.ends_with('\n'));
    const smtp::Millis bound = waits ? kWait : kPatient;
    smtp::ScopedTimeouts fast(bound);
    testsupport::ScriptedPeer peer(row.script);
    Mail mail{.to = "one@example.com; two@example.com", .cc = "three@example.com"};
    if (row.bodyBytes > 0) mail.body = std::string(row.bodyBytes, 'b');
    const smtptest::Settings settings = row.attributes.empty() ? nullptr : smtptest::settingsOf(row.attributes);
    const auto start = std::chrono::steady_clock::now();
    const smtptest::Result r = smtptest::send(peer.port(), mail, "127.0.0.1", settings);
    const auto took = std::chrono::steady_clock::now() - start;
    // The wait holds however the bytes come (the dripped greeting would take 6 s), and ends only
    // with the bound; the others never wait one out.
    EXPECT_LT(took, waits ? 3 * bound : bound) << "a wait outlasted its bound";
    EXPECT_TRUE(!waits || took >= bound - smtp::Millis(50)) << "a wait ended before its bound";
    EXPECT_EQ(r.code, row.code) << r.text.substr(0, 60);
    // Empty: the reply the script sent last, without its line end.
    EXPECT_EQ(r.text, row.text.empty() && row.code != 0 ? end.bytes.substr(0, end.bytes.size() - 2)
                                                        : smtptest::atPort(row.text, peer.port()));
    EXPECT_TRUE(std::none_of(r.text.begin(), r.text.end(), [](char c) { return (c >= 0 && c < 32 && c != '\t') || c == 127; }));
    const int step = row.step != -2 ? row.step : row.last < 0 ? SMTP_PROTO_GREETING : stepOf[row.last];
    EXPECT_TRUE(row.code == 0 || r.step == step) << "ended at step " << r.step;
    // A refusal at RCPT TO names the refused address: the last one sent, or the row's.
    std::string sent = row.last >= 2 && row.last <= 4 ? std::string(commands[row.last]).substr(9) : "";
    if (!sent.empty()) sent.pop_back();
    const bool refusedAt = step == SMTP_PROTO_RCPT && row.code != 0 && r.text != lost;
    EXPECT_EQ(r.recipient, !row.recipient.empty() ? row.recipient : refusedAt ? sent : "");
    const auto lines = peer.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "QUIT"), row.code == 0 ? 1 : 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RSET"), 0);
    const std::string_view last = lines.empty() ? "" : lines.back();
    EXPECT_TRUE(row.last >= 0 || lines.empty());
    if (row.tlsAfterLast) {  // what follows is the handshake's binary
      EXPECT_EQ(std::count(lines.begin(), lines.end(), commands[row.last]), 1);
    } else {
      EXPECT_TRUE(row.last < 0 || row.bodyBytes > 0 || last.rfind(commands[row.last], 0) == 0) << last.substr(0, 60);
    }
    EXPECT_TRUE(end.kind == PeerStep::Kind::Drop || peer.clientClosed());
  }
}

// A listener whose accept queue is full drops further connection attempts unanswered, as a
// black-holed address would: the connect waits out its bound, and no longer.
TEST(Faults, SetUpFailuresNeedNoServer) {
  uint16_t closedPort, fullPort;
  ::close(testsupport::listenOnLoopback(closedPort, 1));  // a free port, given back at once
  const int listener = testsupport::listenOnLoopback(fullPort, 0);
  sockaddr_in address{AF_INET, htons(fullPort), {htonl(INADDR_LOOPBACK)}, {}};
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  smtp::ScopedTimeouts fast(kWait);
  // MaxConnections=1, its one place taken: a mail waits the connect bound for it, then fails.
  const smtptest::Settings capped = smtptest::settingsOf({{"MaxConnections", "1"}}), plain;
  std::optional<smtp::ConnectionSlot> taken =
      smtp::awaitSlot(*capped->options.capped, std::chrono::steady_clock::now());
  const struct { uint16_t port; const char* host; int code; const char* text; smtp::Millis least{0}; bool cap = false; } rows[] = {
      {0, "127.0.0.1", 101, "TCP/IP bad port"},
      {25, "bad..name", 102, "TCP/IP host unknown"},  // refused by the resolver without a query
      {25, nullptr, 102, "TCP/IP host unknown"},
      {closedPort, "127.0.0.1", 104, "TCP/IP connection failed: 127.0.0.1:{port}: Connection refused"},
      {fullPort, "127.0.0.1", 104, "TCP/IP connection failed: 127.0.0.1:{port}: no answer within 1 s",
       kWait - smtp::Millis(50)},
      {closedPort, "127.0.0.1", 1121, "no connection free within the connect bound (MaxConnections reached): "
       "127.0.0.1:{port}: none of 1 came free within 1 s", kWait - smtp::Millis(50), true},
      // The place given back.
      {closedPort, "127.0.0.1", 104, "TCP/IP connection failed: 127.0.0.1:{port}: Connection refused", {}, true}};
  for (const auto& row : rows) {
    if (row.code == 104 && row.cap) taken.reset();
    const auto start = std::chrono::steady_clock::now();
    const smtptest::Result r = smtptest::send(row.port, Mail{}, row.host, row.cap ? capped : plain);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.code, row.code) << row.port;
    EXPECT_EQ(r.text, smtptest::atPort(row.text, row.port));
    EXPECT_GE(took, row.least);
    EXPECT_LT(took, row.least + 2 * kWait);
  }
  for (const int fd : fillers) ::close(fd);
  ::close(listener);
}
