// Whole mails against a real SMTP server (aiosmtpd): the envelope, the header block byte for
// byte, the body's transparency, UTF-8 text, long values and injection attempts, each mail
// also checked by Python's email package under its strict policy.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "SendMessage.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"
#include "test_text.h"

using smtptest::Mail;
using testsupport::ReceivedMail;
using testsupport::SmtpTestServer;

namespace {

constexpr const char* kMsgId = "414D5120514D31202020202020202020A1B2C3D4E5F60718";

ReceivedMail sendOne(SmtpTestServer& server, const Mail& mail) {
  const std::size_t before = server.mails().size();
  const smtptest::Result r = smtptest::send(server.port(), mail);
  EXPECT_EQ(r.code, 0) << r.text;
  EXPECT_EQ(r.text, "");
  auto mails = server.waitForMails(before + 1);
  EXPECT_EQ(mails.size(), before + 1) << "exactly one mail per call";
  return mails.empty() ? ReceivedMail{} : mails.back();
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
  return out;
}

// Every header line, or only those with an encoded-word, within `most` characters.
void expectLinesWithin(const std::string& text, std::size_t most, bool encodedOnly = false) {
  for (std::size_t p = 0, e; (e = text.find("\r\n", p)) != std::string::npos; p = e + 2)
    if (!encodedOnly || text.find("=?", p) < e) { EXPECT_LE(e - p, most) << text.substr(p, std::min<std::size_t>(e - p, 80)); }
}

}  // namespace

TEST(RealServer, HeaderBlockAndEnvelopeOfTwoToOneCcWithMessageIdAtPriorityOne) {
  SmtpTestServer server;
  Mail mail;
  mail.to = "first@example.com; Second Person <second@example.com>";
  mail.cc = "copy@example.com";
  mail.messageId = kMsgId;
  mail.priority = 1;
  const ReceivedMail m = sendOne(server, mail);
  const std::string host = smtptest::localHost();
  EXPECT_EQ(m.helo, host);
  EXPECT_EQ(m.mailFrom, "sender@example.com");
  EXPECT_EQ(joined(m.rcptTos), "first@example.com second@example.com copy@example.com");
  EXPECT_EQ(m.data, "To:first@example.com, Second Person <second@example.com>\r\nCc:copy@example.com\r\n"
                    "From: Sender Name <sender@example.com>\r\nDate: 06 Dec 2026 12:00:00 GMT\r\n"
                    "Message-ID: <" + std::string(kMsgId) + "@" + host + ">\r\nSubject: Hello\r\n"
                    "Priority: High\r\nImportance: Normal\r\nReply-to: Sender Name <sender@example.com>\r\n"
                    "X-Priority: 1 (Higest)\r\nX-mailer: Orvex Talvane Larnet V2 PlugIn node\r\n\r\nBody\r\n\r\n\r\n");
  EXPECT_EQ(m.messageId, "<" + std::string(kMsgId) + "@" + host + ">");
}

// Bcc only in the envelope, one field per kind of recipient, none for a kind without any;
// recipient lists split only between entries and skip empty ones; the sender's address goes to
// MAIL FROM and its text to From and Reply-to (quoted when it has specials, encoded when it only
// looks encoded); entries and subjects arrive, as Python's email package reads them, as given.
TEST(RealServer, RecipientsSendersAndSubjectsArriveAsGiven) {
  SmtpTestServer server;
  // One encoded-word of 64 characters: with " <z@x.org>" the line must fold to stay within 76.
  const std::string zoe = R"("Zoë \"Z\" Ä – Ünal Ayşe, Straße 1" <z@x.org>)";
  const std::string p = "p@x.org";
  const struct Row {
    std::string to, cc, bcc, from, subject, rcpts, toSeen, fields;  // fields: the header before Date
  } rows[] = {
      {"t1@x.org;t2@x.org", "c1@x.org ;; c2@x.org;", "hidden@x.org", p, "Hi", "t1@x.org t2@x.org c1@x.org c2@x.org hidden@x.org",
       "t1@x.org, t2@x.org", "To:t1@x.org, t2@x.org\r\nCc:c1@x.org, c2@x.org\r\nFrom: p@x.org"},
      {"", "only@x.org", "", p, "Hi", "only@x.org", "", "Cc:only@x.org\r\nFrom: p@x.org"},
      {"", "", "b1@x.org; b2@x.org", "<p@x.org>", "Hi", "b1@x.org b2@x.org", "", "From: <p@x.org>"},
      {R"(Smith, John <js@x.org>; "Doe; John" <john@x.org>)", "", "", "  p@x.org  ", "Hi", "js@x.org john@x.org",
       R"("Smith, John" <js@x.org>, "Doe; John" <john@x.org>)", ""},
      {zoe, "", "", "Display Name <p@x.org>", "Hi", "z@x.org", zoe, ""},
      {";a@x.org;;b@x.org; ", "", "", "Monitoring, Team Ops <p@x.org>", "Hi", "a@x.org b@x.org", "a@x.org, b@x.org",
       "To:a@x.org, b@x.org\r\nFrom: \"Monitoring, Team Ops\" <p@x.org>"},
      {"a@x.org", "", "", "=?UTF-8?B?SGk=?= <p@x.org>", "=?UTF-8?B?SGk=?=", "a@x.org", "a@x.org",
       "To:a@x.org\r\nFrom: =?UTF-8?B?PT9VVEYtOD9CP1NHaz0/PQ==?= <p@x.org>"},
      {"a@x.org", "", "", p, "Price =?ISO-8859-1?Q?a?= ok", "a@x.org", "a@x.org", ""},
      {"a@x.org", "", "", p, std::string(1500, ' '), "a@x.org", "a@x.org", ""},
      {std::string(200, 'l') + "@x.org", "", "", p, "Hi", std::string(200, 'l') + "@x.org", std::string(200, 'l') + "@x.org", ""},
  };
  for (const Row& row : rows) {
    Mail mail;
    mail.to = row.to, mail.cc = row.cc, mail.bcc = row.bcc, mail.from = row.from, mail.subject = row.subject;
    const ReceivedMail m = sendOne(server, mail);
    EXPECT_EQ(joined(m.rcptTos), row.rcpts) << row.to;
    EXPECT_EQ(m.mailFrom, p);
    EXPECT_EQ(m.to, row.toSeen);
    EXPECT_EQ(m.subject, row.subject);
    const std::string header = smtptest::headerOf(m.data);
    const std::size_t from = header.find("From: ") + 6, date = header.find("\r\nDate: ");
    if (!row.fields.empty()) { EXPECT_EQ(header.substr(0, date), row.fields); }
    EXPECT_NE(header.find("\r\nReply-to: " + header.substr(from, date - from) + "\r\n"), std::string::npos) << header;
    expectLinesWithin(header, 76, true);
  }
}

// Null texts read as empty ones.
TEST(RealServer, NullSenderSubjectDateAndBodyKeepTheirLines) {
  SmtpTestServer server;
  server.allowDefects(true);  // an empty From and Date are defects, and sent on purpose
  int32_t code = -5;
  EXPECT_STREQ(SendEmailMessage("127.0.0.1", server.port(), nullptr, "rcpt@example.com", nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, 3, &code), "");
  const auto mails = server.waitForMails(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].mailFrom, "<>");  // how the server records the null sender
  EXPECT_EQ(mails[0].data, "To:rcpt@example.com\r\nFrom: \r\nDate: \r\nSubject: \r\nPriority: Normal\r\n"
                           "Importance: Normal\r\nReply-to: \r\nX-Priority: 3 (Normal)\r\n"
                           "X-mailer: Orvex Talvane Larnet V2 PlugIn node\r\n\r\n\r\n\r\n");
}

TEST(RealServer, BodyArrivesExactlyWhateverItsDotsAndLineEnds) {
  SmtpTestServer server;
  for (const std::string body : {".", "..x", "a\n.\nb", "a\r.\rb", "a\r\n.\r\nQUIT\r\n", ".starts with a dot\n.\n..\n",
                                 "no final line end", "mixed\r\nends\rhere\nand\r\r\nthere", "\n\n.\r\n"}) {
    Mail mail;
    mail.body = body;
    const ReceivedMail m = sendOne(server, mail);
    EXPECT_EQ(smtptest::bodyOf(m.data), testsupport::crlf(body) + "\r\n\r\n") << body;
    EXPECT_EQ(m.data.find("Content-Transfer-Encoding"), std::string::npos);
  }
}

// Lines past 998 bytes make it quoted-printable; decoded, the text is the body with CR LF ends.
TEST(RealServer, ThreeMebibyteBodyWithLongAndShortLines) {
  SmtpTestServer server;
  Mail mail;
  for (int i = 0; mail.body.size() < 3 * 1024 * 1024; ++i) {
    mail.body += i % 7 == 0 ? std::string(2500 + i % 300, static_cast<char>('a' + i % 26)) + "\n"
                            : "line " + std::to_string(i) + (i % 3 ? "\n" : "\r\n");
    if (i % 11 == 0) mail.body += ".dot line\n";
  }
  const ReceivedMail m = sendOne(server, mail);
  EXPECT_NE(m.data.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  EXPECT_TRUE(m.body == testsupport::crlf(mail.body) + "\r\n\r\n") << "decoded body differs";
}

TEST(RealServer, Utf8SubjectNamesAndBodyComeBackReadable) {
  SmtpTestServer server;
  Mail mail;
  mail.subject = "Grüße aus Köln – 日本語の件名です、とても長い件名を書いてみます 🎉🎉🎉 Ende";
  mail.from = "Jörg Müller <joerg@example.com>";
  mail.to = "\"Ünal, Ayşe\" <ayse@example.com>; 山田太郎 <yamada@example.jp>; plain@example.com";
  mail.cc = "Zoë 🦊 <zoe@example.com>";
  mail.body = "Hallo Jörg,\nこんにちは 🎉\n=equals= =41 and trailing blank \n.dot\n";
  const ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.subject, mail.subject);
  EXPECT_EQ(m.from, mail.from);
  EXPECT_EQ(m.to, "\"Ünal, Ayşe\" <ayse@example.com>, 山田太郎 <yamada@example.jp>, plain@example.com");
  EXPECT_EQ(m.cc, mail.cc);
  EXPECT_EQ(m.body, testsupport::crlf(mail.body) + "\r\n\r\n");
  EXPECT_NE(m.data.find("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                        "Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  expectLinesWithin(m.data, 78);
  for (const char c : m.data) ASSERT_EQ(static_cast<unsigned char>(c) & 0x80, 0);
}

TEST(RealServer, LongValuesGoOutWholeAndStayStandard) {
  SmtpTestServer server;
  Mail mail, unbroken;
  mail.subject.clear(), mail.from.clear(), mail.to.clear();
  unbroken.subject = std::string(5000, 'x');  // no blank to fold at: sent as encoded-words
  EXPECT_EQ(sendOne(server, unbroken).subject, unbroken.subject);
  while (mail.subject.size() < 12000) mail.subject += "word" + std::to_string(mail.subject.size()) + " ";
  while (mail.from.size() < 3000) mail.from += "Name" + std::to_string(mail.from.size()) + " ";
  mail.from += "<sender@example.com>";
  for (int i = 0; i < 40; ++i) mail.to += "Recipient Number " + std::to_string(i) + " <r" + std::to_string(i) + "@example.com>;";
  const ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.subject, mail.subject);
  EXPECT_EQ(m.from, mail.from);
  EXPECT_EQ(m.rcptTos.size(), 40u);
  EXPECT_NE(m.to.find("Recipient Number 39 <r39@example.com>"), std::string::npos);
  const std::string header = smtptest::headerOf(m.data);
  expectLinesWithin(header.substr(0, header.find("\r\nFrom: ") + 2), 78);  // To folds between entries
}

// Nor does an entry with more than one address or with ESMTP parameters, or a path longer
// than RFC 5321 allows: all are refused before connecting.
TEST(RealServer, LineBreaksOrParametersInValuesNeverStartACommandOrAHeader) {
  SmtpTestServer server;
  smtptest::ListenProbe probe;
  for (const auto& [field, value] : std::initializer_list<std::pair<int, std::string>>{
           {0, "a@example.com>\r\nRCPT TO:<evil@example.com"}, {1, "ok@example.com; evil@example.com\r\nDATA"},
           {2, "Name\n <c@example.com>"}, {3, "x@example.com\rRSET"}, {0, "<evil@x.org> NOTIFY=NEVER X=<y>"},
           {1, "ok@x.org; <evil@x.org> NOTIFY=NEVER"}, {0, "Odd <a<b>c>"}, {1, "x <> y"}, {1, "a b@x.org"},
           {2, "<a@x.org"}, {2, "\"evil@x> NOTIFY=NEVER"}, {3, std::string(250, 'a') + "@x.org"}}) {
    Mail mail;
    (field == 0 ? mail.from : field == 1 ? mail.to : field == 2 ? mail.cc : mail.bcc) = value;
    const smtptest::Result r = smtptest::send(probe.port(), mail);
    EXPECT_EQ(r.code, 1007) << value;
    EXPECT_EQ(r.text, "Bad parameters");
  }
  EXPECT_FALSE(probe.connected()) << "refused before any connection";

  Mail mail;
  mail.subject = "Hi\r\nBcc: evil@example.com\r\n\r\nforged body";
  ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.subject, "Hi  Bcc: evil@example.com    forged body");
  EXPECT_EQ(joined(m.rcptTos), "rcpt@example.com");
  EXPECT_EQ(smtptest::bodyOf(m.data), "Body\r\n\r\n\r\n");

  server.allowDefects(true);  // the date and id below are not valid as such, only harmless (and whole)
  mail.subject = "Hi";
  mail.date = "06 Dec 2026\nX-Evil: 1 " + std::string(900, 'd');
  mail.messageId = "id\r\nX-Evil: 2" + std::string(900, 'm');
  m = sendOne(server, mail);
  EXPECT_EQ(m.data.find("\r\nX-Evil"), std::string::npos) << m.data;
  EXPECT_NE(m.data.find("\r\nDate: 06 Dec 2026 X-Evil: 1 " + std::string(900, 'd') + "\r\n"), std::string::npos);
  EXPECT_NE(m.data.find("\r\nMessage-ID: <id  X-Evil: 2" + std::string(900, 'm') + "@"), std::string::npos);
}

TEST(RealServer, RefusedRecipientFailsTheMailAndNothingIsStored) {
  SmtpTestServer server;
  for (const auto& [to, code, text] : std::initializer_list<std::tuple<std::string, int, std::string>>{
           {"one@example.com; refuse553@example.com; three@example.com", 1004, "553 refused by trigger\r\n"},
           {"refuse-me@example.com", -1, "550 refused by trigger\r\n"},  // 550 is not listed for RCPT TO
           {"drop@example.com", -1, "Error during communication"}}) {
    Mail mail;
    mail.to = to;
    const smtptest::Result r = smtptest::send(server.port(), mail);
    EXPECT_EQ(r.code, code) << to;
    EXPECT_EQ(r.text, text);
  }
  EXPECT_TRUE(server.waitForMails(0).empty());
}
