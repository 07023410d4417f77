// The reply judge, the error texts and month and priority names, the transport primitives, and
// the exported line writers used on their own over a socket pair (what they write, where they stop).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "SendMessage.h"
#include "SimpleSMTP/smtp_internal.h"

namespace {

struct SocketPair {
  int client = -1, server = -1;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      client = fds[0];
      server = fds[1];
    }
  }
  ~SocketPair() {
    ::close(client);
    ::close(server);
  }
  void reply(const std::string& bytes) const {
    ASSERT_EQ(::write(server, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string written() const {
    std::string out;
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(server, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
      out.append(chunk, static_cast<std::size_t>(n));
    return out;
  }
};

}  // namespace

TEST(Protocol, RepliesAreJudgedByTheirFirstThreeCharacters) {
  const SmtpProtoEntry& mail = SmtpProto[SMTP_PROTO_MAIL];
  EXPECT_EQ(SmtpGetRc(mail, "250-first\r\n250 last\r\n"), 0);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_RCPT], "251 forwarded\r\n"), 0);
  EXPECT_EQ(SmtpGetRc(mail, "251 forwarded\r\n"), -1);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_QUIT], "221 bye\r\n"), 0);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_QUIT], "500 eh\r\n"), 1004);
  EXPECT_EQ(SmtpGetRc(mail, "25"), -1);
  EXPECT_EQ(SmtpGetRc(mail, ""), -1);
  EXPECT_EQ(SmtpGetRc(mail, nullptr), -1);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_DATA], "2500"), -1);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_DATA], "3541"), 0);
  EXPECT_EQ(SmtpGetRc(mail, "452 full"), 1008);
  EXPECT_EQ(SmtpGetRc(mail, "550 no"), -1);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_GREETING], "421 busy"), 1001);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_HELO], "555 bad"), 1007);
  EXPECT_EQ(SmtpGetRc(SmtpProto[SMTP_PROTO_END_OF_DATA], "552 big"), 1008);
  EXPECT_STREQ(SmtpProto[SMTP_PROTO_RCPT].command, "RCPT TO:<%s>");
  EXPECT_EQ(SmtpProto[SMTP_PROTO_GREETING].command, nullptr);
  EXPECT_STREQ(SmtpProto[SMTP_PROTO_END_OF_DATA].command, "\r\n.");
}

TEST(Protocol, ErrorTextsMonthsAndPriorityNames) {
  EXPECT_STREQ(SMTPErrorString(100), "TCP/IP error");
  EXPECT_STREQ(SMTPErrorString(105), "TCP/IP memory allocation error");
  EXPECT_STREQ(SMTPErrorString(1002), "Host recognize but can't exec cmd");
  EXPECT_STREQ(SMTPErrorString(1010), "Address OK,unknown on this server");
  for (int code : {-1, 0, 99, 106, 999, 1011})
    EXPECT_STREQ(SMTPErrorString(code), "Unknown SMTP error");
  EXPECT_STREQ(TCPIPErrorString(104), "TCP/IP connection failed");
  for (int code : {-1, 1001, 1004}) EXPECT_STREQ(TCPIPErrorString(code), "Unknown TCP/IP error");
  EXPECT_STREQ(MonthShortName(1), "Jan");
  EXPECT_STREQ(MonthShortName(12), "Dec");
  EXPECT_STREQ(MonthShortName(0), "   ");
  EXPECT_STREQ(MonthShortName(13), "   ");
  EXPECT_STREQ(GetPriorityName(2), "High  ");
  EXPECT_STREQ(GetPriorityName(0), "Normal");
  EXPECT_STREQ(GetPriorityName(-1), "Normal");
}

TEST(Protocol, TransportPrimitives) {
  SocketPair pair;
  EXPECT_EQ(TcpSend(pair.client, "x", 0), 0);
  EXPECT_EQ(pair.written(), "");
  EXPECT_EQ(TcpSend(-1, "x", 1), 100);
  EXPECT_EQ(SmtpTcpSend(pair.client, "100% sure\r\nnot this", 9), 0);
  EXPECT_EQ(pair.written(), "100% sure\r\n");

  char buffer[8];
  pair.reply("0123456789");
  EXPECT_EQ(TcpRecv(pair.client, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "0123456") << "the buffer always ends in a NUL";
  ::shutdown(pair.server, SHUT_WR);
  char rest[16];
  EXPECT_EQ(TcpRecv(pair.client, rest, sizeof rest), 0);
  EXPECT_STREQ(rest, "789");
  EXPECT_EQ(TcpRecv(pair.client, rest, sizeof rest), 100);
  EXPECT_EQ(rest[0], '\0');

  // A peer that is gone: the send fails with 100 instead of killing the process with SIGPIPE.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[1]);
  EXPECT_EQ(TcpSend(fds[0], "data", 4), 100);
  ::close(fds[0]);
  EXPECT_EQ(TcpClose(-1), 100);
}

TEST(Protocol, ExportedLineWritersOnTheirOwn) {
  SocketPair pair;
  char reply[smtp::kReplyBufferSize];
  pair.reply("250 ok\r\n251 ok\r\n553 no\r\n250 never asked\r\n");
  EXPECT_EQ(SmtpSendRcpt(pair.client, "a@x; Name <b@x>;c@x;d@x", reply), 1004);
  EXPECT_EQ(pair.written(), "RCPT TO:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\n");
  EXPECT_STREQ(reply, "553 no\r\n");
  EXPECT_EQ(SmtpSendRcpt(pair.client, "", reply), 0);
  EXPECT_EQ(SmtpSendRcpt(pair.client, "a@x\r\nDATA", reply), 1007);
  EXPECT_EQ(pair.written(), "");

  EXPECT_EQ(SmtpSendTo(pair.client, "a@x; b@x"), 0);
  EXPECT_EQ(SmtpSendCc(pair.client, "c@x ;"), 0);
  EXPECT_EQ(SmtpSendTo(pair.client, ""), 0);
  EXPECT_EQ(SmtpSendCc(pair.client, "c@x\nBcc: d@x"), 1007);
  EXPECT_EQ(SmtpSendPriority(pair.client, 4), 0);
  EXPECT_EQ(SmtpSendXPriority(pair.client, 2), 0);
  EXPECT_EQ(SmtpSendXPriority(pair.client, 6), 0);
  EXPECT_EQ(pair.written(),
            "To:a@x, b@x\r\nCc:c@x\r\nPriority: Low\r\nX-Priority: 2 (High  )\r\n"
            "X-Priority: 3 (Normal)\r\n");
  EXPECT_EQ(SmtpSendPriority(-1, 1), 100);
}

TEST(Protocol, SessionSetUp) {
  int error = -7;
  EXPECT_EQ(SmtpInit("127.0.0.1", 0, &error), nullptr);
  EXPECT_EQ(error, 101);
  EXPECT_EQ(SmtpInit("bad..name", 25, &error), nullptr);
  EXPECT_EQ(error, 102);
  SmtpSession* session = SmtpInit("localhost", 2525, &error);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(session->serverAddress.sin_family, AF_INET);
  EXPECT_EQ(ntohs(session->serverAddress.sin_port), 2525);
  EXPECT_EQ(ntohl(session->serverAddress.sin_addr.s_addr), 0x7F000001u);
  EXPECT_NE(session->localHostName[0], '\0');
  std::free(session);
  EXPECT_EQ(SmtpCleanUp(), 0);
}
