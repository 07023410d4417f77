// The reply judge, the transport primitives and the exported line writers on their own over a
// socket pair: what they write and where they stop. (What each step's table entry makes of a
// reply is checked through the dialogue, in the fault table.)
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "SendMessage.h"
#include "SimpleSMTP/smtp_internal.h"

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
  int pair[2], other[2];  // client end, server end
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) + ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
  const auto reply = [](int fd, std::string_view bytes) { ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); };
  const auto written = [&] {
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(pair[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) out.append(chunk, std::size_t(n));
    return out;
  };
  EXPECT_EQ(SmtpTcpSend(pair[0], "100% sure\r\nnot this", 9), 0);
  EXPECT_EQ(written(), "100% sure\r\n");
  char buffer[smtp::kReplyBufferSize];
  reply(pair[1], "250 ok\r\n251 ok\r\n553 no\r\n250 never asked\r\n");
  EXPECT_EQ(SmtpSendRcpt(pair[0], "a@x; Name <b@x>;c@x;d@x", buffer), 1004);
  EXPECT_EQ(written(), "RCPT TO:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\n");
  EXPECT_STREQ(buffer, "553 no\r\n");
  EXPECT_EQ(SmtpSendRcpt(pair[0], "a@x\r\nDATA", buffer), 1007);
  EXPECT_EQ(SmtpSendTo(pair[0], "a@x; b@x"), 0);
  EXPECT_EQ(SmtpSendCc(pair[0], "c@x ;"), 0);
  EXPECT_EQ(SmtpSendCc(pair[0], "c@x\nBcc: d@x"), 1007);
  EXPECT_EQ(written(), "To:a@x, b@x\r\nCc:c@x\r\n");
  for (signed char p = 0; p <= 6; ++p) EXPECT_EQ(SmtpSendPriority(pair[0], p) + SmtpSendXPriority(pair[0], p), 0);
  EXPECT_EQ(written(), "Priority: Normal\r\nX-Priority: 3 (Normal)\r\nPriority: High\r\nX-Priority: 1 (Higest)\r\n"
                       "Priority: High\r\nX-Priority: 2 (High  )\r\nPriority: Normal\r\nX-Priority: 3 (Normal)\r\n"
                       "Priority: Low\r\nX-Priority: 4 (Low   )\r\nPriority: Low\r\nX-Priority: 5 (Lowest)\r\n"
                       "Priority: Normal\r\nX-Priority: 3 (Normal)\r\n");

  reply(other[1], "0123456789");
  EXPECT_EQ(TcpRecv(other[0], buffer, 8), 0);
  EXPECT_STREQ(buffer, "0123456") << "the buffer always ends in a NUL";
  ::shutdown(other[1], SHUT_WR);
  EXPECT_EQ(TcpRecv(other[0], buffer, 16), 0);
  EXPECT_STREQ(buffer, "789");
  EXPECT_EQ(TcpRecv(other[0], buffer, 16), 100);
  // A peer that is gone: the send fails with 100 instead of killing the process with SIGPIPE.
  for (const int fd : {other[1], pair[0], pair[1]}) ::close(fd);
  EXPECT_EQ(TcpSend(other[0], "data", 4), 100);
  ::close(other[0]);
}
