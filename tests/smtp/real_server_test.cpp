// Whole mails against a real SMTP server (aiosmtpd): the envelope, the header block byte for
// byte, the body's transparency, UTF-8 text, long values and injection attempts, each mail
// also checked by Python's email package under its strict policy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "SendMessage.h"
#include "scripted_peer.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"
#include "test_text.h"

using smtptest::Mail;
using testsupport::ReceivedMail;
using testsupport::SmtpTestServer;

namespace {

const std::string kMsgId = "414D5120514D31202020202020202020A1B2C3D4E5F60718";
const std::string kXMailer = "X-mailer: Orvex Talvane Larnet V2 PlugIn node\r\n";

ReceivedMail sendOne(SmtpTestServer& server, const Mail& mail) {
  const std::size_t before = server.mails().size();
  const smtptest::Result r = smtptest::send(server.port(), mail);
  EXPECT_EQ(r.code, 0) << r.text;
  auto mails = server.waitForMails(before + 1);
  EXPECT_EQ(mails.size(), before + 1) << "exactly one mail per call";
  return mails.empty() ? ReceivedMail{} : mails.back();
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
  return out;
}

// Every line 7-bit and within `width`, or within 76 when it holds an encoded-word.
void expectSevenBitWithin(const std::string& data, std::size_t width) {
  for (const std::string_view line : testsupport::lines(data)) {
    EXPECT_LE(line.size(), line.find("=?") == std::string_view::npos ? width : 76) << line.substr(0, 80);
    for (const char c : line) ASSERT_EQ(static_cast<unsigned char>(c) & 0x80, 0) << line;
  }
}

}  // namespace

TEST(RealServer, ExactTranscriptsOfAFullMailAndOfNullTexts) {
  SmtpTestServer server;
  const ReceivedMail m = sendOne(server, {.to = "first@example.com; Second Person <second@example.com>",
                                          .cc = "copy@example.com", .messageId = kMsgId, .priority = 1});
  char host[256] = {};  // this machine's name, as HELO and Message-ID use it
  ::gethostname(host, sizeof host - 1);
  EXPECT_EQ(m.helo, host);
  EXPECT_EQ(m.mailFrom, "sender@example.com");
  EXPECT_EQ(joined(m.rcptTos), "first@example.com second@example.com copy@example.com");
  EXPECT_EQ(m.data, "To:first@example.com, Second Person <second@example.com>\r\nCc:copy@example.com\r\n"
                    "From: Sender Name <sender@example.com>\r\nDate: 06 Dec 2026 12:00:00 GMT\r\n"
                    "Message-ID: <" + kMsgId + "@" + host + ">\r\nSubject: Hello\r\n"
                    "Priority: High\r\nImportance: Normal\r\nReply-to: Sender Name <sender@example.com>\r\n"
                    "X-Priority: 1 (Higest)\r\n" + kXMailer + "\r\nBody\r\n\r\n\r\n");

  // Null texts read as empty ones (and a null code pointer is no code asked for).
  server.allowDefects(true);  // an empty From and Date are defects, and sent on purpose
  EXPECT_STREQ(SendEmailMessage("127.0.0.1", server.port(), nullptr, "rcpt@example.com", nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, 3, nullptr), "");
  const auto mails = server.waitForMails(2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[1].mailFrom, "<>");  // how the server records the null sender
  EXPECT_EQ(mails[1].data, "To:rcpt@example.com\r\nFrom: \r\nDate: \r\nSubject: \r\nPriority: Normal\r\n"
                           "Importance: Normal\r\nReply-to: \r\nX-Priority: 3 (Normal)\r\n" + kXMailer + "\r\n\r\n\r\n");
}

// Bcc only in the envelope, one field per kind of recipient, none for a kind without any;
// recipient lists split only between entries and skip empty ones; the sender's address goes to
// MAIL FROM and its text to From and Reply-to (quoted when it has specials, encoded when it only
// looks encoded); UTF-8 and long values go out as encoded-words and folded lines. Python's email
// package reads every entry and subject back as given, from 7-bit lines within the row's width
// (encoded-words within 76).
TEST(RealServer, RecipientsSendersAndSubjectsArriveAsGiven) {
  SmtpTestServer server;
  // One encoded-word of 64 characters: with " <z@x.org>" the line must fold to stay within 76.
  const std::string zoe = R"("Zoë \"Z\" Ä – Ünal Ayşe, Straße 1" <z@x.org>)", longLocal = std::string(200, 'l') + "@x.org";
  std::string words, name, many, manyRcpts, manySeen, plain;
  while (words.size() < 12000) words += "word" + std::to_string(words.size()) + " ";
  // 250 ASCII words, single blanks between them: folded at its blanks as written, not encoded.
  for (int i = 0; i < 250; ++i) plain += (i ? " word" : "word") + std::to_string(i);
  while (name.size() < 3000) name += "Name" + std::to_string(name.size()) + " ";
  for (int i = 0; i < 40; ++i) {
    const std::string address = "r" + std::to_string(i) + "@example.com";
    const std::string entry = "Recipient " + std::to_string(i) + " <" + address + ">";
    many += entry + ";";
    manyRcpts += (i ? " " : "") + address;
    manySeen += (i ? ", " : "") + entry;
  }
  const struct Row {
    std::string to = "a@x.org", cc = {}, bcc = {}, from = "p@x.org", subject = "Hi";
    std::string rcpts = to, toSeen = to, ccSeen = cc, fromSeen = from, fields = {};  // fields: the header before Date
    std::size_t width = 998;
  } rows[] = {
      {.to = ";t1@x.org;;t2@x.org; ", .cc = "c1@x.org ;; c2@x.org;", .bcc = "hidden@x.org",
       .rcpts = "t1@x.org t2@x.org c1@x.org c2@x.org hidden@x.org", .toSeen = "t1@x.org, t2@x.org", .ccSeen = "c1@x.org, c2@x.org",
       .fields = "To:t1@x.org, t2@x.org\r\nCc:c1@x.org, c2@x.org\r\nFrom: p@x.org"},
      {.to = "", .cc = "only@x.org", .rcpts = "only@x.org", .fields = "Cc:only@x.org\r\nFrom: p@x.org"},
      {.to = "", .bcc = "b1@x.org; b2@x.org", .from = "<p@x.org>", .rcpts = "b1@x.org b2@x.org", .fromSeen = "p@x.org",
       .fields = "From: <p@x.org>"},
      {.to = R"(Smith, John <js@x.org>; "Doe; John" <john@x.org>)", .from = "  p@x.org  ", .rcpts = "js@x.org john@x.org",
       .toSeen = R"("Smith, John" <js@x.org>, "Doe; John" <john@x.org>)", .fromSeen = "p@x.org"},
      {.to = zoe, .from = "Display Name <p@x.org>", .rcpts = "z@x.org"},
      {.from = "=?UTF-8?B?SGk=?= <p@x.org>", .subject = "=?UTF-8?B?SGk=?=",
       .fields = "To:a@x.org\r\nFrom: =?UTF-8?B?PT9VVEYtOD9CP1NHaz0/PQ==?= <p@x.org>"},
      {.subject = "Price =?ISO-8859-1?Q?a?= ok"},
      {.subject = std::string(1500, ' ')},
      {.subject = std::string(5000, 'x')},  // no blank to fold at: sent as encoded-words
      {.subject = plain, .width = 78},
      {.to = longLocal},
      {.to = R"("Ünal, Ayşe" <ayse@example.com>; 山田太郎 <yamada@example.jp>; plain@example.com)", .cc = "Zoë 🦊 <zoe@example.com>",
       .from = "Jörg Müller <p@x.org>", .subject = "Grüße aus Köln – 日本語の件名です、とても長い件名を書いてみます 🎉🎉🎉 Ende",
       .rcpts = "ayse@example.com yamada@example.jp plain@example.com zoe@example.com",
       .toSeen = R"("Ünal, Ayşe" <ayse@example.com>, 山田太郎 <yamada@example.jp>, plain@example.com)", .width = 78},
      {.to = many, .from = name + "<p@x.org>", .subject = words, .rcpts = manyRcpts, .toSeen = manySeen, .width = 78},
  };
  for (const Row& row : rows) {
    const ReceivedMail m =
        sendOne(server, {.from = row.from, .to = row.to, .cc = row.cc, .bcc = row.bcc, .subject = row.subject});
    EXPECT_EQ(joined(m.rcptTos), row.rcpts) << row.to;
    EXPECT_EQ(m.mailFrom, "p@x.org");
    EXPECT_EQ(std::make_tuple(m.to, m.cc, m.from, m.subject),
              std::make_tuple(row.toSeen, row.ccSeen, row.fromSeen, row.subject));
    const std::string header = m.data.substr(0, m.data.find("\r\n\r\n") + 2);
    const std::size_t from = header.find("From: ") + 6, date = header.find("\r\nDate: ");
    if (!row.fields.empty()) { EXPECT_EQ(header.substr(0, date), row.fields); }
    EXPECT_NE(header.find("\r\nReply-to: " + header.substr(from, date - from) + "\r\n"), std::string::npos) << header;
    expectSevenBitWithin(m.data, row.width);
  }
}

// Lines past 998 bytes or 8-bit text make the body quoted-printable (short 7-bit lines), decoded
// the body with CR LF line ends; otherwise the body goes out as given, only line ends made CR LF
// and dots doubled.
TEST(RealServer, BodyArrivesExactlyWhateverItsDotsLineEndsAndLength) {
  SmtpTestServer server;
  std::string big;
  for (int i = 0; big.size() < 3 * 1024 * 1024; ++i) {
    big += i % 7 == 0 ? std::string(2500 + i % 300, static_cast<char>('a' + i % 26)) + "\n"
                      : "line " + std::to_string(i) + (i % 3 ? "\n" : "\r\n");
    if (i % 11 == 0) big += ".dot line\n";
  }
  const std::pair<std::string, bool> rows[] = {  // the body, and whether it goes quoted-printable
      {".", false}, {"..x", false}, {"a\n.\nb", false}, {"a\r.\rb", false}, {"a\r\n.\r\nQUIT\r\n", false},
      {".starts with a dot\n.\n..\n", false}, {"no final line end", false},
      {"mixed\r\nends\rhere\nand\r\r\nthere", false}, {"\n\n.\r\n", false}, {big, true},
      {"Hallo Jörg,\nこんにちは 🎉\n=equals= =41 and trailing blank \n.dot\n", true}};
  for (const auto& [body, mime] : rows) {
    const ReceivedMail m = sendOne(server, {.body = body});
    const std::string wire = m.data.substr(m.data.find("\r\n\r\n") + 4);
    EXPECT_TRUE(m.body == testsupport::crlf(body) + "\r\n\r\n") << body.substr(0, 80);
    EXPECT_TRUE(mime || wire == m.body) << body;
    EXPECT_EQ(m.data.find("\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                          "Content-Transfer-Encoding: quoted-printable\r\n") != std::string::npos, mime);
    EXPECT_EQ(m.data.find("Content-Transfer-Encoding") != std::string::npos, mime);
    // Quoted-printable: short 7-bit lines that need no dot doubled and lose no trailing blank.
    if (mime) expectSevenBitWithin(wire, 76);
    for (const std::string_view line : testsupport::lines(wire))
      EXPECT_TRUE(!mime || line.empty() || (line[0] != '.' && line.back() != ' ' && line.back() != '\t')) << line;
  }
}

// A line break in an envelope entry, an entry with more than one address or with ESMTP
// parameters, or a path longer than RFC 5321 allows: all are refused before connecting. Line
// breaks in the subject, date or message id become blanks, so they never start a header.
TEST(RealServer, LineBreaksOrParametersInValuesNeverStartACommandOrAHeader) {
  SmtpTestServer server;
  uint16_t closed;  // nobody listens there: a mail that got as far as connecting would fail with 104
  ::close(testsupport::listenOnLoopback(closed, 1));
  for (const auto& [field, value] : std::initializer_list<std::pair<int, std::string>>{
           {0, "a@example.com>\r\nRCPT TO:<evil@example.com"}, {1, "ok@example.com; evil@example.com\r\nDATA"},
           {2, "Name\n <c@example.com>"}, {3, "x@example.com\rRSET"}, {0, "<evil@x.org> NOTIFY=NEVER X=<y>"},
           {1, "ok@x.org; <evil@x.org> NOTIFY=NEVER"}, {0, "Odd <a<b>c>"}, {1, "x <> y"}, {1, "a b@x.org"},
           {2, "<a@x.org"}, {2, "\"evil@x> NOTIFY=NEVER"}, {3, std::string(250, 'a') + "@x.org"}}) {
    Mail mail;
    (field == 0 ? mail.from : field == 1 ? mail.to : field == 2 ? mail.cc : mail.bcc) = value;
    const smtptest::Result r = smtptest::send(closed, mail);
    EXPECT_EQ(r.code, 1007) << value;
    EXPECT_EQ(r.text, "Bad parameters");
  }

  Mail mail{.subject = "Hi\r\nBcc: evil@example.com\r\n\r\nforged body"};
  ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.subject, "Hi  Bcc: evil@example.com    forged body");
  EXPECT_EQ(joined(m.rcptTos), "rcpt@example.com");
  EXPECT_EQ(m.body, "Body\r\n\r\n\r\n");

  server.allowDefects(true);  // the date and id below are not valid as such, only harmless (and whole)
  mail.subject = "Hi";
  mail.date = "06 Dec 2026\nX-Evil: 1 " + std::string(900, 'd');
  mail.messageId = "id\r\nX-Evil: 2" + std::string(900, 'm');
  m = sendOne(server, mail);
  EXPECT_EQ(m.data.find("\r\nX-Evil"), std::string::npos) << m.data;
  EXPECT_NE(m.data.find("\r\nDate: 06 Dec 2026 X-Evil: 1 " + std::string(900, 'd') + "\r\n"), std::string::npos);
  EXPECT_NE(m.data.find("\r\nMessage-ID: <id  X-Evil: 2" + std::string(900, 'm') + "@"), std::string::npos);
}
