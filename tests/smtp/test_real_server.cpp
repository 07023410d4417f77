// Whole mails against a real SMTP server (aiosmtpd): the envelope, the header block byte for
// byte, the body's transparency, UTF-8 text, long values and injection attempts, each mail
// also checked by Python's email package under its strict policy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SendMessage.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

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

}  // namespace

TEST(RealServer, HeaderBlockAndEnvelopeOfTwoToOneCcWithMessageIdAtPriorityOne) {
  char maildir[] = "/tmp/smtp-maildir-XXXXXX";
  ASSERT_NE(::mkdtemp(maildir), nullptr);
  SmtpTestServer server(maildir);
  Mail mail;
  mail.to = "first@example.com; Second Person <second@example.com>";
  mail.cc = "copy@example.com";
  mail.messageId = kMsgId;
  mail.priority = 1;
  const ReceivedMail m = sendOne(server, mail);
  const std::string host = smtptest::localHost();
  EXPECT_EQ(m.helo, host);
  EXPECT_EQ(m.mailFrom, "sender@example.com");
  EXPECT_EQ(m.rcptTos, (std::vector<std::string>{"first@example.com", "second@example.com",
                                                 "copy@example.com"}));
  EXPECT_EQ(m.data,
            "To:first@example.com, Second Person <second@example.com>\r\n"
            "Cc:copy@example.com\r\n"
            "From: Sender Name <sender@example.com>\r\n"
            "Date: 06 Dec 2026 12:00:00 GMT\r\n"
            "Message-ID: <" + std::string(kMsgId) + "@" + host + ">\r\n"
            "Subject: Hello\r\n"
            "Priority: High\r\n"
            "Importance: Normal\r\n"
            "Reply-to: Sender Name <sender@example.com>\r\n"
            "X-Priority: 1 (Higest)\r\n"
            "X-mailer: Orvex Talvane Larnet V2 PlugIn node\r\n"
            "\r\n"
            "Body\r\n"
            "\r\n"
            "\r\n");
  EXPECT_EQ(m.to, "first@example.com, Second Person <second@example.com>");
  EXPECT_EQ(m.messageId, "<" + std::string(kMsgId) + "@" + host + ">");
  // The Maildir copy holds the same bytes.
  std::vector<std::filesystem::path> stored;
  for (const auto& f : std::filesystem::directory_iterator(std::string(maildir) + "/new"))
    stored.push_back(f.path());
  ASSERT_EQ(stored.size(), 1u);
  std::ifstream in(stored[0], std::ios::binary);
  const std::string copy((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(copy, m.data);
  std::filesystem::remove_all(maildir);
}

TEST(RealServer, BccOnlyInTheEnvelopeAndOneFieldPerKindOfRecipient) {
  SmtpTestServer server;
  Mail mail;
  mail.to = "t1@example.com;t2@example.com";
  mail.cc = "c1@example.com ;; c2@example.com;";
  mail.bcc = "hidden@example.com";
  mail.messageId = "<already@formed.example>";
  ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.rcptTos, (std::vector<std::string>{"t1@example.com", "t2@example.com",
                                                 "c1@example.com", "c2@example.com",
                                                 "hidden@example.com"}));
  const std::string header = smtptest::headerOf(m.data);
  EXPECT_EQ(header.find("hidden"), std::string::npos) << header;
  EXPECT_NE(header.find("To:t1@example.com, t2@example.com\r\n"), std::string::npos) << header;
  EXPECT_NE(header.find("Cc:c1@example.com, c2@example.com\r\n"), std::string::npos) << header;
  EXPECT_NE(header.find("Message-ID: <already@formed.example>\r\n"), std::string::npos);

  // A Cc-only mail: one RCPT TO, no To field; a Bcc-only one: no To or Cc field at all.
  Mail ccOnly;
  ccOnly.to = "";
  ccOnly.cc = "only@example.com";
  m = sendOne(server, ccOnly);
  EXPECT_EQ(m.rcptTos, std::vector<std::string>{"only@example.com"});
  EXPECT_EQ(smtptest::headerOf(m.data).rfind("Cc:only@example.com\r\nFrom: ", 0), 0u) << m.data;
  Mail bccOnly;
  bccOnly.to = "";
  bccOnly.bcc = "b1@example.com; b2@example.com";
  m = sendOne(server, bccOnly);
  EXPECT_EQ(m.rcptTos, (std::vector<std::string>{"b1@example.com", "b2@example.com"}));
  EXPECT_EQ(smtptest::headerOf(m.data).rfind("From: ", 0), 0u) << m.data;
}

// A sender's display name with specials goes out quoted, one that only looks encoded as
// encoded-words, so that either parses as the one address given.
TEST(RealServer, SenderFormsGiveTheAddressToMailFromAndTheTextToFromAndReplyTo) {
  SmtpTestServer server;
  for (const auto& [from, written] : std::initializer_list<std::pair<std::string, std::string>>{
           {"plain@example.com", "plain@example.com"}, {"<plain@example.com>", "<plain@example.com>"},
           {"Display Name <plain@example.com>", "Display Name <plain@example.com>"},
           {"  plain@example.com  ", "plain@example.com"},
           {"Monitoring, Team Ops <plain@example.com>", "\"Monitoring, Team Ops\" <plain@example.com>"},
           {"=?UTF-8?B?SGk=?= <plain@example.com>", "=?UTF-8?B?PT9VVEYtOD9CP1NHaz0/PQ==?= <plain@example.com>"}}) {
    Mail mail;
    mail.from = from;
    const ReceivedMail m = sendOne(server, mail);
    EXPECT_EQ(m.mailFrom, "plain@example.com") << from;
    const std::string header = smtptest::headerOf(m.data);
    EXPECT_NE(header.find("\r\nFrom: " + written + "\r\n"), std::string::npos) << header;
    EXPECT_NE(header.find("\r\nReply-to: " + written + "\r\n"), std::string::npos) << header;
  }
}

// Recipient lists split only between entries and skip empty ones; each entry and each subject
// arrives, as Python's email package reads it, as given.
TEST(RealServer, EntriesAndSubjectsArriveAsGiven) {
  SmtpTestServer server;
  // One encoded-word of 64 characters: with " <z@x.org>" the line must fold to stay within 76.
  const std::string zoe = R"("Zoë \"Z\" Ä – Ünal Ayşe, Straße 1" <z@x.org>)";
  struct Row {
    std::string to, subject, rcpts, toSeen;
  };
  const Row rows[] = {
      {R"(Smith, John <js@x.org>; "Doe; John" <john@x.org>)", "Hi", "js@x.org john@x.org",
       R"("Smith, John" <js@x.org>, "Doe; John" <john@x.org>)"},
      {zoe, "Hi", "z@x.org", zoe},
      {";a@x.org;;b@x.org; ", "Hi", "a@x.org b@x.org", "a@x.org, b@x.org"},
      {"a@x.org", "=?UTF-8?B?SGk=?=", "a@x.org", "a@x.org"},
      {"a@x.org", "Price =?ISO-8859-1?Q?a?= ok", "a@x.org", "a@x.org"},
      {"a@x.org", std::string(1500, ' '), "a@x.org", "a@x.org"},
  };
  for (const Row& row : rows) {
    Mail mail;
    mail.to = row.to;
    mail.subject = row.subject;
    const ReceivedMail m = sendOne(server, mail);
    std::string rcpts;
    for (const std::string& r : m.rcptTos) rcpts += (rcpts.empty() ? "" : " ") + r;
    EXPECT_EQ(rcpts, row.rcpts) << row.to;
    EXPECT_EQ(m.to, row.toSeen);
    EXPECT_EQ(m.subject, row.subject);
    const std::string header = smtptest::headerOf(m.data);
    for (std::size_t p = 0, e; (e = header.find("\r\n", p)) != std::string::npos; p = e + 2) {
      if (header.find("=?", p) < e) {
        EXPECT_LE(e - p, 76u) << header.substr(p, e - p);
      }
    }
  }
}

TEST(RealServer, EmptySenderSubjectDateAndBodyKeepTheirLines) {
  SmtpTestServer server;
  server.allowDefects(true);  // an empty From and Date are defects, and sent on purpose
  Mail mail;
  mail.from = mail.subject = mail.date = mail.body = "";
  const ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.mailFrom, "<>");  // how the server records the null sender
  EXPECT_EQ(m.data,
            "To:rcpt@example.com\r\nFrom: \r\nDate: \r\nSubject: \r\nPriority: Normal\r\n"
            "Importance: Normal\r\nReply-to: \r\nX-Priority: 3 (Normal)\r\n"
            "X-mailer: Orvex Talvane Larnet V2 PlugIn node\r\n\r\n\r\n\r\n");
  EXPECT_FALSE(m.defects.empty());
}

TEST(RealServer, PriorityLinesForZeroToSix) {
  SmtpTestServer server;
  const char* expected[7][2] = {
      {"Priority: Normal", "X-Priority: 3 (Normal)"}, {"Priority: High", "X-Priority: 1 (Higest)"},
      {"Priority: High", "X-Priority: 2 (High  )"},   {"Priority: Normal", "X-Priority: 3 (Normal)"},
      {"Priority: Low", "X-Priority: 4 (Low   )"},    {"Priority: Low", "X-Priority: 5 (Lowest)"},
      {"Priority: Normal", "X-Priority: 3 (Normal)"}};
  for (int p = 0; p <= 6; ++p) {
    Mail mail;
    mail.priority = static_cast<signed char>(p);
    const std::string header = smtptest::headerOf(sendOne(server, mail).data);
    EXPECT_NE(header.find(std::string("\r\n") + expected[p][0] + "\r\nImportance: Normal\r\n"),
              std::string::npos) << p << header;
    EXPECT_NE(header.find(std::string("\r\n") + expected[p][1] + "\r\nX-mailer: "),
              std::string::npos) << p << header;
  }
}

TEST(RealServer, BodyArrivesExactlyWhateverItsDotsAndLineEnds) {
  SmtpTestServer server;
  for (const std::string body : {".", "..x", "a\n.\nb", "a\r.\rb", "a\r\n.\r\nQUIT\r\n",
                                 ".starts with a dot\n.\n..\n", "no final line end",
                                 "mixed\r\nends\rhere\nand\r\r\nthere", "\n\n.\r\n"}) {
    Mail mail;
    mail.body = body;
    const ReceivedMail m = sendOne(server, mail);
    EXPECT_EQ(smtptest::bodyOf(m.data), smtptest::crlf(body) + "\r\n\r\n") << body;
    EXPECT_EQ(m.rcptTos.size(), 1u);
    EXPECT_EQ(m.data.find("Content-Transfer-Encoding"), std::string::npos);
  }
  EXPECT_EQ(server.mails().size(), 9u);
}

TEST(RealServer, ThreeMebibyteBodyWithLongAndShortLines) {
  SmtpTestServer server;
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) {
    body += i % 7 == 0 ? std::string(2500 + i % 300, static_cast<char>('a' + i % 26))
                       : "line " + std::to_string(i) + (i % 3 ? "\n" : "\r\n");
    if (i % 11 == 0) body += ".dot line\n";
    if (i % 7 == 0) body += "\n";
  }
  Mail mail;
  mail.body = body;
  const ReceivedMail m = sendOne(server, mail);
  // Lines past 998 bytes make it quoted-printable; the decoded text is the body, CR LF ends.
  EXPECT_NE(m.data.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  std::string decoded = m.body;
  std::string expected = smtptest::crlf(body) + "\r\n\r\n";
  EXPECT_EQ(decoded.size(), expected.size());
  EXPECT_TRUE(decoded == expected) << "decoded body differs";
}

TEST(RealServer, Utf8SubjectNamesAndBodyComeBackReadable) {
  SmtpTestServer server;
  Mail mail;
  mail.subject = "Grüße aus Köln – 日本語の件名です、とても長い件名を書いてみます 🎉🎉🎉 Ende";
  mail.from = "Jörg Müller <joerg@example.com>";
  mail.to = "\"Ünal, Ayşe\" <ayse@example.com>; 山田太郎 <yamada@example.jp>; plain@example.com";
  mail.cc = "Zoë 🦊 <zoe@example.com>";
  mail.body = "Hallo Jörg,\nこんにちは 🎉\n=equals= and trailing blank \n.dot\n";
  const ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.subject, mail.subject);
  EXPECT_EQ(m.from, mail.from);
  EXPECT_EQ(m.to, "\"Ünal, Ayşe\" <ayse@example.com>, 山田太郎 <yamada@example.jp>, "
                  "plain@example.com");
  EXPECT_EQ(m.cc, "Zoë 🦊 <zoe@example.com>");
  EXPECT_EQ(m.body, smtptest::crlf(mail.body) + "\r\n\r\n");
  EXPECT_EQ(m.mailFrom, "joerg@example.com");
  const std::string header = smtptest::headerOf(m.data);
  EXPECT_NE(header.find("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                        "Content-Transfer-Encoding: quoted-printable\r\n"),
            std::string::npos) << header;
  for (std::size_t p = 0, e; (e = m.data.find("\r\n", p)) != std::string::npos; p = e + 2) {
    EXPECT_LE(e - p, 78u) << m.data.substr(p, e - p);
    for (const char c : m.data.substr(p, e - p)) EXPECT_EQ(static_cast<unsigned char>(c) & 0x80, 0);
  }
}

TEST(RealServer, LongValuesGoOutWholeAndStayStandard) {
  SmtpTestServer server;
  Mail mail;
  std::string subject;
  while (subject.size() < 12000) subject += "word" + std::to_string(subject.size()) + " ";
  mail.subject = subject;
  Mail unbroken;  // a subject no blank can fold is sent as encoded-words instead
  unbroken.subject = std::string(5000, 'x');
  EXPECT_EQ(sendOne(server, unbroken).subject, unbroken.subject);
  std::string name;
  while (name.size() < 3000) name += "Name" + std::to_string(name.size()) + " ";
  mail.from = name + "<sender@example.com>";
  std::string to;
  for (int i = 0; i < 40; ++i) to += "Recipient Number " + std::to_string(i) + " <r" +
                                     std::to_string(i) + "@example.com>;";
  mail.to = to;
  const ReceivedMail m = sendOne(server, mail);
  EXPECT_EQ(m.subject, subject);
  EXPECT_EQ(m.from, mail.from);
  EXPECT_EQ(m.rcptTos.size(), 40u);
  EXPECT_NE(m.to.find("Recipient Number 39 <r39@example.com>"), std::string::npos);
  // The To field is folded between entries: no line of it passes 78 characters.
  const std::string header = smtptest::headerOf(m.data);
  const std::size_t toEnd = header.find("\r\nFrom: ");
  for (std::size_t p = 0, e; p < toEnd && (e = header.find("\r\n", p)) != std::string::npos;
       p = e + 2)
    EXPECT_LE(e - p, 78u);
}

// Nor does an entry with more than one address or with ESMTP parameters, or a path longer
// than RFC 5321 allows: all are refused before connecting.
TEST(RealServer, LineBreaksOrParametersInValuesNeverStartACommandOrAHeader) {
  SmtpTestServer server;
  smtptest::ListenProbe probe;
  for (const auto& [field, value] :
       std::initializer_list<std::pair<int, std::string>>{
           {0, "a@example.com>\r\nRCPT TO:<evil@example.com"},
           {1, "ok@example.com; evil@example.com\r\nDATA"},
           {2, "Name\n <c@example.com>"},
           {3, "x@example.com\rRSET"},
           {0, "<evil@x.org> NOTIFY=NEVER X=<y>"}, {1, "ok@x.org; <evil@x.org> NOTIFY=NEVER"},
           {0, "Odd <a<b>c>"}, {1, "x <> y"}, {1, "a b@x.org"}, {2, "<a@x.org"},
           {2, "\"evil@x> NOTIFY=NEVER"}, {3, std::string(250, 'a') + "@x.org"}}) {
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
  EXPECT_EQ(m.rcptTos, std::vector<std::string>{"rcpt@example.com"});
  EXPECT_EQ(smtptest::bodyOf(m.data), "Body\r\n\r\n\r\n");

  server.allowDefects(true);  // the date and id below are not valid as such, only harmless
  mail.subject = "Hi";
  mail.date = "06 Dec 2026\nX-Evil: 1";
  mail.messageId = "id\r\nX-Evil: 2";
  m = sendOne(server, mail);
  EXPECT_EQ(m.data.find("\r\nX-Evil"), std::string::npos) << m.data;
  EXPECT_NE(m.data.find("\r\nDate: 06 Dec 2026 X-Evil: 1\r\n"), std::string::npos);
  EXPECT_NE(m.data.find("\r\nMessage-ID: <id  X-Evil: 2@"), std::string::npos);
  EXPECT_EQ(smtptest::bodyOf(m.data), "Body\r\n\r\n\r\n");
}

TEST(RealServer, RefusedRecipientFailsTheMailAndNothingIsStored) {
  SmtpTestServer server;
  Mail mail;
  mail.to = "one@example.com; refuse553@example.com; three@example.com";
  smtptest::Result r = smtptest::send(server.port(), mail);
  EXPECT_EQ(r.code, 1004);
  EXPECT_EQ(r.text, "553 refused by trigger\r\n");
  mail.to = "refuse-me@example.com";
  r = smtptest::send(server.port(), mail);
  EXPECT_EQ(r.code, -1) << "550 is not listed for RCPT TO";
  EXPECT_EQ(r.text, "550 refused by trigger\r\n");
  mail.to = "drop@example.com";
  r = smtptest::send(server.port(), mail);
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.text, "Error during communication");
  EXPECT_TRUE(server.waitForMails(0).empty());
}
