// The reply judge, the transport primitives and the exported line writers on their own over a
// socket pair: what they write and where they stop. (What each step's table entry makes of a
// reply is checked through the dialogue, in the fault table.)
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "SendMessage.h"
#include "SimpleSMTP/smtp_internal.h"

namespace {

struct SocketPair {
  int client = -1, server = -1;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) client = fds[0], server = fds[1];
  }
  ~SocketPair() { ::close(client), ::close(server); }
  void reply(const std::string& bytes) const {
    ASSERT_EQ(::write(server, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string written() const {
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(server, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) out.append(chunk, static_cast<std::size_t>(n));
    return out;
  }
};

}  // namespace

// Only the first three characters count; a short or missing reply matches no code.
TEST(Protocol, RepliesAreJudgedByTheirFirstThreeCharacters) {
  const struct { int step; const char* reply; int rc; } rows[] = {
      {SMTP_PROTO_MAIL, "250-first\r\n250 last\r\n", 0}, {SMTP_PROTO_RCPT, "251 forwarded\r\n", 0},
      {SMTP_PROTO_QUIT, "500 eh\r\n", 1004}, {SMTP_PROTO_MAIL, "25", -1}, {SMTP_PROTO_MAIL, nullptr, -1},
      {SMTP_PROTO_DATA, "3541", 0}};
  for (const auto& row : rows) EXPECT_EQ(SmtpGetRc(SmtpProto[row.step], row.reply), row.rc) << row.reply;
  EXPECT_STREQ(MonthShortName(12), "Dec");
  EXPECT_STREQ(MonthShortName(13), "   ");
}

TEST(Protocol, TransportPrimitivesAndExportedLineWriters) {
  SocketPair pair;
  EXPECT_EQ(SmtpTcpSend(pair.client, "100% sure\r\nnot this", 9), 0);
  EXPECT_EQ(pair.written(), "100% sure\r\n");
  char reply[smtp::kReplyBufferSize];
  pair.reply("250 ok\r\n251 ok\r\n553 no\r\n250 never asked\r\n");
  EXPECT_EQ(SmtpSendRcpt(pair.client, "a@x; Name <b@x>;c@x;d@x", reply), 1004);
  EXPECT_EQ(pair.written(), "RCPT TO:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\n");
  EXPECT_STREQ(reply, "553 no\r\n");
  EXPECT_EQ(SmtpSendRcpt(pair.client, "a@x\r\nDATA", reply), 1007);
  EXPECT_EQ(SmtpSendTo(pair.client, "a@x; b@x"), 0);
  EXPECT_EQ(SmtpSendCc(pair.client, "c@x ;"), 0);
  EXPECT_EQ(SmtpSendCc(pair.client, "c@x\nBcc: d@x"), 1007);
  EXPECT_EQ(pair.written(), "To:a@x, b@x\r\nCc:c@x\r\n");
  for (signed char p = 0; p <= 6; ++p) EXPECT_EQ(SmtpSendPriority(pair.client, p) + SmtpSendXPriority(pair.client, p), 0);
  EXPECT_EQ(pair.written(), "Priority: Normal\r\nX-Priority: 3 (Normal)\r\nPriority: High\r\nX-Priority: 1 (Higest)\r\n"
                            "Priority: High\r\nX-Priority: 2 (High  )\r\nPriority: Normal\r\nX-Priority: 3 (Normal)\r\n"
                            "Priority: Low\r\nX-Priority: 4 (Low   )\r\nPriority: Low\r\nX-Priority: 5 (Lowest)\r\n"
                            "Priority: Normal\r\nX-Priority: 3 (Normal)\r\n");

  SocketPair other;
  char buffer[8], rest[16];
  other.reply("0123456789");
  EXPECT_EQ(TcpRecv(other.client, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "0123456") << "the buffer always ends in a NUL";
  ::shutdown(other.server, SHUT_WR);
  EXPECT_EQ(TcpRecv(other.client, rest, sizeof rest), 0);
  EXPECT_STREQ(rest, "789");
  EXPECT_EQ(TcpRecv(other.client, rest, sizeof rest), 100);
  // A peer that is gone: the send fails with 100 instead of killing the process with SIGPIPE.
  ::close(other.server);
  other.server = -1;
  EXPECT_EQ(TcpSend(other.client, "data", 4), 100);
}
