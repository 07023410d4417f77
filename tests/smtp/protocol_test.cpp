// The client's parts on their own: the reply judge, the transport primitives, the reply reader
// across a change of stream and the exported line writers over socket pairs (what they write,
// where they stop), the stray drop's bound against a server that never stops talking; the
// composition helpers
// for what no single mail shows (encoded-words, over-long runs and addresses, the MIME limits).
// What each step's table entry makes of a reply is checked through the dialogue, in the fault table.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

#include "SendMessage.h"
#include "SimpleSMTP/smtp_internal.h"
#include "smtp_test_server.h"
#include "test_text.h"

using testsupport::lines;

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
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
  const auto reply = [](int fd, std::string_view bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  };
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

  // A reader moved to another stream (TLS after STARTTLS) keeps nothing of the old one: what a
  // man in the middle appends to the 220 in clear is never read as the first encrypted reply.
  int clear[2], secure[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, clear), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, secure), 0);
  reply(clear[1], "220 go\r\n250 injected\r\n");
  reply(secure[1], "250 real\r\n");
  smtp::PlainStream before(clear[0]), after(secure[0]);
  smtp::ReplyReader reader(before);
  EXPECT_TRUE(reader.read(buffer, sizeof buffer, smtp::Millis(2000)));
  EXPECT_STREQ(buffer, "220 go\r\n");
  reader.switchTo(after);
  EXPECT_TRUE(reader.read(buffer, sizeof buffer, smtp::Millis(2000)));
  EXPECT_STREQ(buffer, "250 real\r\n");
  for (const int fd : {clear[0], clear[1], secure[0], secure[1]}) ::close(fd);

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

  // A server that never stops talking: dropping what came before a command takes one reply
  // buffer's worth, not all it sends.
  struct Flood final : smtp::Stream {
    std::size_t handed = 0;
    int send(iovec*, int, smtp::Millis) noexcept override { return 0; }
    long receive(char* b, std::size_t n, smtp::Millis) noexcept override { return receiveReady(b, n); }
    long receiveReady(char* b, std::size_t n) noexcept override {
      if (handed > (std::size_t{1} << 20)) return 0;  // a bound for a reader that has none
      std::memset(b, 'x', n);
      handed += n;
      return static_cast<long>(n);
    }
    bool quiet() noexcept override { return false; }
  } flood;
  smtp::ReplyReader strict(flood, {}, true);
  strict.dropStray();
  EXPECT_LE(flood.handed, smtp::kReplyBufferSize + 4096);
}

TEST(Composition, EncodedWordsAndFoldingKeepTheirLimits) {
  std::string text, out, decoded;
  for (int i = 0; i < 40; ++i) text += "aé日🎉 ";  // 1-, 2-, 3- and 4-byte characters
  smtp::FieldFolder folder(out, "Subject: ");
  smtp::addEncodedWords(folder, "", text);
  folder.finish();
  for (const std::string_view line : lines(out)) {
    EXPECT_LE(line.size(), 76u) << line;
    for (std::size_t p = 0; (p = line.find("=?UTF-8?B?", p)) != std::string::npos; p += 2) {
      const std::size_t end = line.find("?=", p + 10);
      ASSERT_NE(end, std::string::npos);
      EXPECT_LE(end + 2 - p, 75u);
      const std::string bytes = testsupport::base64Decode(std::string(line.substr(p + 10, end - p - 10)));
      // Words that together give the text back and never start inside a character hold whole ones.
      EXPECT_NE(static_cast<unsigned char>(bytes.at(0)) & 0xC0, 0x80) << line;
      decoded += bytes;
      p = end;
    }
  }
  EXPECT_EQ(decoded, text);

  // One address longer than a line stays whole on a line of its own.
  std::string field;
  smtp::appendAddressField(field, "To:", "a@x;" + std::string(100, 'n') + "@x");
  EXPECT_EQ(field, "To:a@x,\r\n " + std::string(100, 'n') + "@x\r\n");

  // Found by fuzzing: a display name with a run no folding can break made a header line past
  // RFC 5322's 998 bytes, as did runs split only by TABs (folding happens at blanks). They go out
  // as encoded-words instead, while the address stays as written.
  // So does a message's own field whose name and first word together pass the limit.
  const std::string entry = std::string(1200, 'n') + " <who@example.com>";
  std::string tabbed, header;
  for (int i = 0; i < 3; ++i) tabbed += std::string(600, 's') + "\t";
  const std::string zeds(986, 'Z'), equals(980, '=');
  const smtp::RichMail rich{.headers = {{"X-Custom-Header-With-A-Rather-Long-Name-For-Tests", zeds},
                                         {"X-Twenty-Characters", equals}}};
  const smtp::MailText mail{entry, entry, "", tabbed, "date", "", "body", "host", 3, &rich};
  smtp::appendHeaderBlock(header, mail, smtp::needsMime(mail));
  for (const std::string_view line : lines(header)) EXPECT_LE(line.size(), 998u) << line.substr(0, 40);
  for (const char* start : {"\r\nFrom: =?UTF-8?B?", "\r\nTo:=?UTF-8?B?", "\r\nSubject: =?UTF-8?B?", " <who@example.com>\r\n",
                            "\r\nX-Custom-Header-With-A-Rather-Long-Name-For-Tests: =?UTF-8?B?", "\r\nX-Twenty-Characters: =?UTF-8?B?"})
    EXPECT_NE(("\r\n" + header).find(start), std::string::npos) << start;
}

// The body's transparency, also across batches, and quoted-printable's lines are checked by the
// real server's mails and the body fuzz target.
TEST(Composition, BodyIsSentWithoutACopyAndMimeOnlyWhenNeeded) {
  // A body already in wire form goes out as one segment that points into it.
  const std::string ready = "line one\r\nline two\r\n";
  smtp::BodySegments segments(ready);
  iovec iov[8];
  ASSERT_EQ(segments.fill(iov, 8), 1);
  EXPECT_EQ(iov[0].iov_base, ready.data());

  smtp::MailText mail{"a@x", "b@x", "", "Subject", "date", "", "", "host", 3};
  const std::string limit(998, 'x');
  for (const auto& [text, cc, expected] : std::initializer_list<std::tuple<std::string, const char*, bool>>{
           {limit, "", false}, {limit + "x", "", true}, {limit + "\r" + limit, "", false},
           {limit + "\n" + limit + "\r\n", "", false}, {"caf\xC3\xA9", "", true}, {"", "Zo\xC3\xAB <z@x>", true}}) {
    mail.body = text;
    mail.cc = cc;
    EXPECT_EQ(smtp::needsMime(mail), expected) << text.size();
  }
}
