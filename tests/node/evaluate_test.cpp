// The evaluate callback end to end: a message on the in-memory host goes through the node's
// callback table, out to a real SMTP server, and on through "out" or "failure".
#include <strings.h>

#include <ctime>
#include <functional>
#include <regex>

#include "SendMessage.h"
#include "node_fixture.h"

namespace nodetest {
namespace {

using ::testing::Not;

// The client's own reason for the request of simpleMail(to) to `port` on this host.
std::string clientReason(int port, const char* to) {
  int32_t code = 0;
  return SendEmailMessage("127.0.0.1", port, "", to, "", "", "Hello", "", "", "Hello there.", 3, &code);
}

// The Date field as sent (the parsed one is normalised).
std::string sentDate(const Mail& m) {
  const std::size_t at = m.data.find("\r\nDate: ") + 8;
  return m.data.substr(at, m.data.find("\r\n", at) - at);
}

TEST_F(NodeTest, WorkedExampleIsSentAndTheInputGoesOut) {
  server_->allowDefects(true);  // addresses without a domain: a strict parser notes a defect
  node_ = newNode("example", {{"SMTPFrom", "alerts"}});
  auto message = mail({{"To", "ann"}, {"To", "bob"}, {"Cc", "carl"}, {"Subject", "Test"}});
  folder(top(*message), "Body", {{"Line", "one"}, {"Line", "two"}});
  auto before = message->clone();

  Result r = evaluate(*message);
  ASSERT_EQ(r.out.size(), 1u) << r.error();
  EXPECT_EQ(std::tie(r.out[0].original, r.out[0].companionA, r.out[0].companionB),
            std::make_tuple(message->handle(), node_->defaultCompanionA(), node_->defaultCompanionB()))
      << "the input message itself goes on";
  EXPECT_TRUE(message->root().sameTree(before->root())) << "the input is not changed";
  EXPECT_EQ(r.logged(), "2 1637 Message propagated");
  const memhost::LogEntry& log = r.log.at(0);
  EXPECT_EQ(std::tie(log.sourceFile, log.text, log.messageNumber),
            std::make_tuple(std::string("SendMailPlugIn"), std::string(), 0));
  EXPECT_EQ(log.messageSource, u"TVLNv201");

  const Mail m = nextMail();
  EXPECT_EQ(m.mailFrom, "alerts");
  EXPECT_THAT(m.rcptTos, ElementsAre("ann", "bob", "carl"));
  EXPECT_EQ(m.to + "|" + m.cc + "|" + m.from + "|" + m.subject + "|" + sentDate(m),
            "ann, bob|carl|alerts|Test|07 Mar 2001 09:05:03 GMT");
  EXPECT_THAT(m.messageId, HasSubstr(kMsgIdHex));
  EXPECT_EQ(lf(m.body), "one\ntwo");
  EXPECT_THAT(m.data, HasSubstr("Priority: Normal\r\nImportance: Normal\r\nReply-to: alerts\r\nX-Priority: 3 (Normal)\r\n"));
}

// A copy of the input, with "SendMailError" (the reason as its value) the last child of the
// top element, or of the deepest of root and body folder when the copy has no top element.
TEST_F(NodeTest, FailureRoadCarriesTheReasonInACopy) {
  auto refused = simpleMail("refuse550@example.com");
  auto bare = host_.newMessage(), folderOnly = host_.newMessage();
  folderOnly->root().addChild("Properties");
  // Lists holding only empty entries name nobody, like no list at all; with the default node's
  // Bcc (an empty one) no connection is made for them.
  auto emptyTo = mail({{"To", ""}, {"Subject", "nobody"}}), lone = mail({{"To", ";"}, {"Cc", " ; "}, {"Bcc", ""}});
  // The reason is exactly the client's own for the same request.
  const std::string reason = clientReason(server_->port(), "refuse550@example.com");
  EXPECT_THAT(reason, StartsWith("550"));
  const std::string nobody = "No recipients found";
  for (auto [message, why] : {std::pair{refused.get(), reason}, {bare.get(), nobody}, {folderOnly.get(), nobody},
                              {emptyTo.get(), nobody}, {lone.get(), nobody}}) {
    auto expected = message->clone();
    memhost::Element* parent = &expected->root();
    for (int depth = 0; depth < 2 && parent->lastChild() != nullptr; ++depth) parent = parent->lastChild();
    const Result r = evaluate(*message);
    ASSERT_THAT(r.error(), StartsWith(why));
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.failure[0].original, message->handle());
    EXPECT_TRUE(message->root().sameTree(expected->root())) << "only the copy carries the error";
    parent->addChild("SendMailError").addChild("", memhost::kTypeValue).setText(r.error());
    EXPECT_TRUE(r.failure[0].message->root().sameTree(expected->root())) << r.failure[0].message->root().dump();
    EXPECT_THAT(r.after("cniPropagate"), ElementsAre("cciLog", "cniDeleteMessage"));
    EXPECT_EQ(r.logged(), "2 1637 Message propagated");
  }
}

// With FailureDetail or Receipt a copy carries a whole folder: the detail just before
// SendMailError, the receipt where a reason would go; the input itself is never changed, and the
// copy is deleted after it went on. A server that answers 421 4.7.0 to two MAIL FROMs of three
// serves the retries, one over STARTTLS the refused logins; settings refused are local.
TEST_F(NodeTest, FailureDetailAndReceiptAreWholeFolders) {
  testsupport::SmtpTestServer busy({"--busy-mails", "2"});
  const std::string busyPort = std::to_string(busy.port());
  const testsupport::Certificates certs;
  testsupport::SmtpTestServer secure({"--cert", certs.ca, "--key", certs.key, "--auth", "ann:right-pw"});
  const Fields wrongLogin = {{"FailureDetail", "yes"}, {"ServerPort", std::to_string(secure.port())},
                             {"Security", "starttls"}, {"TLSCAFile", certs.ca}, {"SMTPUser", "ann"},
                             {"SMTPPassword", "wrong-pw"}};
  const Fields detail = {{"FailureDetail", "yes"}}, receipt = {{"Receipt", "yes"}};
  const auto retried = [&](Fields attributes, const char* times) {
    attributes.insert(attributes.end(), {{"ServerPort", busyPort}, {"RetryTransient", times}, {"RetryMaxSeconds", "0.05"}});
    return attributes;
  };
  const struct {
    const char* name;
    Fields attributes, fields;
    const char* folder;
    Fields expected;  // the folder's elements; Milliseconds: any number
  } rows[] = {
      {"refused recipient", detail, {{"To", "ann@example.com"}, {"Cc", "refuse550@example.com"}}, "SendMailErrorDetail",
       {{"Code", "550"}, {"Kind", "permanent"}, {"Step", "rcpt"}, {"Recipient", "refuse550@example.com"}, {"Attempts", "1"}}},
      {"no recipient", detail, {{"Subject", "nobody"}}, "SendMailErrorDetail",
       {{"Code", ""}, {"Kind", "local"}, {"Step", ""}, {"Attempts", "0"}}},
      {"settings refused", {{"FailureDetail", "yes"}, {"Security", "STARTTLS"}}, {{"To", "ann@example.com"}},
       "SendMailErrorDetail", {{"Code", ""}, {"Kind", "local"}, {"Step", ""}, {"Attempts", "0"}}},
      {"login refused", wrongLogin, {{"To", "ann@example.com"}}, "SendMailErrorDetail",
       {{"Code", "535"}, {"EnhancedCode", "5.7.8"}, {"Kind", "permanent"}, {"Step", "auth"}, {"Attempts", "1"}}},
      {"delivered", receipt, {{"To", "ann@example.com"}, {"Bcc", "bob@example.com"}}, "SendMailReceipt",
       {{"Reply", "250 Message accepted"}, {"Server", "127.0.0.1:" + std::to_string(server_->port())}, {"Recipients", "2"},
        {"TLS", ""}, {"Attempts", "1"}, {"Milliseconds", ""}}},
      {"delivered on the third try", retried(receipt, "2"), {{"To", "ann@example.com"}}, "SendMailReceipt",
       {{"Reply", "250 Message accepted"}, {"Server", "127.0.0.1:" + busyPort}, {"Recipients", "1"}, {"TLS", ""},
        {"Attempts", "3"}, {"Milliseconds", ""}}},
      {"421 on both tries", retried(detail, "1"), {{"To", "ann@example.com"}}, "SendMailErrorDetail",
       {{"Code", "421"}, {"EnhancedCode", "4.7.0"}, {"Kind", "transient"}, {"Step", "mail"}, {"Attempts", "2"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto message = mail(row.fields);
    auto expected = message->clone();
    const Result r = evaluate(*message, newNode(row.name, row.attributes));
    const bool delivered = std::string(row.folder) == "SendMailReceipt";
    const std::vector<memhost::Propagation>& sent = delivered ? r.out : r.failure;
    ASSERT_EQ(sent.size(), 1u) << r.error();
    EXPECT_NE(sent[0].original, message->handle()) << "a copy goes on";
    EXPECT_THAT(r.after("cniPropagate"), ElementsAre("cciLog", "cniDeleteMessage"));
    memhost::Element& folder = top(*expected).addChild(row.folder);
    for (const auto& [name, value] : row.expected) {
      const memhost::Element* got = top(*sent[0].message).child(row.folder);
      const memhost::Element* millis = got && got->child(name) ? got->child(name)->firstChild() : nullptr;
      const bool anyNumber = name == "Milliseconds" && millis && millis->text().find_first_not_of("0123456789") == std::string::npos;
      folder.addChild(name).addChild("", memhost::kTypeValue).setText(anyNumber ? millis->text() : value);
    }
    if (!delivered) top(*expected).addChild("SendMailError").addChild("", memhost::kTypeValue).setText(r.error());
    EXPECT_TRUE(sent[0].message->root().sameTree(expected->root())) << sent[0].message->root().dump();
  }
  EXPECT_EQ(nextMail().rcptTos.size(), 2u);
  EXPECT_EQ(busy.mails().size(), 1u) << "the retried mail is stored once";
}

TEST_F(NodeTest, FieldNamesOrderValuesAndBlindCopies) {
  node_ = newNode("blind copy", {{"Bcc", "audit@example.com"}});
  auto message = mail({{"To", "ann@example.com"}, {"to", "lower@example.com"}, {"TO", "upper@example.com"},
                       {"MailTo", "bob@example.com"}, {"MailCc", "carl@example.com"}, {"Bcc", "dora@example.com"},
                       {"MailFrom", "first@example.com"}, {"From", "second@example.com"}, {"Subject", "first"},
                       {"Body", "replaced own value"}, {"MailSubject", std::string(3000, 's')}});  // > first buffer
  folder(top(*message), "MailBody", {{"L", "one"}, {"L", ""}, {"L", "three"}});
  ASSERT_EQ(evaluate(*message).out.size(), 1u);
  const Mail m = nextMail();
  EXPECT_THAT(m.rcptTos, ElementsAre("ann@example.com", "bob@example.com", "carl@example.com", "dora@example.com",
                                     "audit@example.com"));
  EXPECT_EQ(m.to, "ann@example.com, bob@example.com");
  EXPECT_THAT(m.data, Not(HasSubstr("audit"))) << "the node's blind copy is in the envelope only";
  EXPECT_EQ(m.mailFrom, "second@example.com");
  EXPECT_EQ(m.subject, std::string(3000, 's'));
  EXPECT_EQ(lf(m.body), "one\n\nthree");

  // A context without a Bcc attribute (its first) and no recipient: no session at all.
  memhost::Node* node = newNode("without Bcc", {});
  static_cast<NodeContext*>(node->context())->attributeTableHead->name[0] = u'b';
  EXPECT_EQ(evaluate(*mail({{"Subject", "nobody"}}), node).error(), "No recipients found");
}

// A terminal not attached, or one the host failed to create. (Host calls failing around the
// propagation are rows of the host-fault matrix.)
TEST_F(NodeTest, TerminalNotAttachedOrNotCreated) {
  auto message = simpleMail("ann@example.com");
  node_->terminal("out")->setAttached(false);
  const Result r = evaluate(*message);
  EXPECT_TRUE(r.out.empty() && r.failure.empty() && r.log.empty()) << "not attached: nothing propagated or logged";
  EXPECT_EQ(nextMail().rcptTos.size(), 1u) << "but the mail is sent";
  host_.injectFault("cniCreateOutputTerminal", 1, 7);
  EXPECT_EQ(evaluate(*message, newNode("broken", {})).logged(), "0 1663 Terminal not connected");
}

// Node settings are read once, at the first message (even one the host cannot read), and never
// again; each row is then a node of its own.
TEST_F(NodeTest, SettingsAreLoadedOnceAndComposed) {
  // "Yes", not "yes": the priority stays normal.
  memhost::Node* node = newNode("loaded once", {{"SMTPFrom", "alerts@example.com"}, {"SMTPFullFrom", "Alert Service"},
                                                {"SetPriority", "Yes"}, {"Priority", "Highest"}});
  auto message = simpleMail("ann@example.com");
  host_.injectFault("cniRootElement", 1, 7);
  evaluate(*message, node);
  host_.clearFaults();
  for (auto [name, value] : Fields{{"SMTPFrom", "other@example.com"}, {"Security", "tls"}, {"Bcc", "late@example.com"},
                                   {"SetPriority", "yes"}, {"ServerName", "no-such-host.invalid"}})
    EXPECT_EQ(node->setAttribute(name, value), 0);
  ASSERT_EQ(evaluate(*message, node).out.size(), 1u);
  Mail m = nextMail();
  EXPECT_EQ(m.from, "Alert Service <alerts@example.com>");
  EXPECT_THAT(m.rcptTos, ElementsAre("ann@example.com"));
  EXPECT_THAT(m.data, HasSubstr("X-Priority: 3 (Normal)\r\n"));

  const struct { const char *smtpFrom, *fullFrom, *setPriority, *priority, *mailFrom, *xPriority; } rows[] = {
      {"alerts@example.com", "", "yes", "Lowest", "alerts@example.com", "X-Priority: 5 (Lowest)\r\n"},
      {"alerts@example.com", " Leading Blank", "yes", "High", "alerts@example.com", "X-Priority: 2 (High  )\r\n"},
      {"", "Alert Service", "yes", "Urgent", "message@example.com", "X-Priority: 3 (Normal)\r\n"},
      {" alerts@example.com", "", "", "Highest", "message@example.com", "X-Priority: 3 (Normal)\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string("SMTPFrom '") + row.smtpFrom + "' SMTPFullFrom '" + row.fullFrom + "'");
    node = newNode(row.mailFrom, {{"SMTPFrom", row.smtpFrom}, {"SMTPFullFrom", row.fullFrom},
                                  {"SetPriority", row.setPriority}, {"Priority", row.priority}});
    ASSERT_EQ(evaluate(*mail({{"To", "ann@example.com"}, {"From", "message@example.com"}}), node).out.size(), 1u);
    m = nextMail();
    EXPECT_EQ(m.mailFrom, row.mailFrom);
    EXPECT_THAT(m.data, HasSubstr(row.xPriority));
  }

  // A secure-submission value the node does not know fails every mail, naming the attribute.
  EXPECT_EQ(evaluate(*message, newNode("refusing", {{"Security", "ssl"}})).error(), "Security must be empty, starttls or tls");
  // The port keeps its low 16 bits; one that is not a number is 0, and the mail goes to 25
  // (the reason is the client's own for port 25, where nothing listens here).
  for (auto [text, port] : {std::pair{"70000", 4464}, {"not a number", 0}}) {
    node = newNode(text, {{"ServerPort", text}});
    const Result r = evaluate(*message, node);
    EXPECT_EQ(static_cast<NodeContext*>(node->context())->serverPort, port) << text;
    if (port == 0) { EXPECT_EQ(r.error(), clientReason(25, "ann@example.com")); }
  }
}

// Each row changes the descriptor the node reads date and id from (the id in the Message-ID,
// or "": no Message-ID line); none reuses the previous one's.
TEST_F(NodeTest, DescriptorDateAndMessageId) {
  std::tm utc{};
  const std::time_t t = std::time(nullptr);
  gmtime_r(&t, &utc);
  const std::regex now(R"(\d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )" + std::to_string(utc.tm_year + 1900) +
                       R"( \d\d:\d\d:\d\d GMT)");
  const struct { const char* name; void (*change)(memhost::Element& tvmd); bool fixedDate; std::string id; } rows[] = {
      {"full", [](memhost::Element&) {}, true, kMsgIdHex},
      {"none", [](memhost::Element& tvmd) { tvmd.setName("Other"); }, false, ""},
      {"no PutTime, short id", [](memhost::Element& tvmd) {
         tvmd.child("PutTime")->setName("Other");
         tvmd.child("MsgId")->setBytes({0x00, 0x01, 0xAB});
       }, false, "0001AB" + std::string(42, '0')},
      {"PutTime of another type", [](memhost::Element& tvmd) { tvmd.child("PutTime")->setText("09:05"); }, false, kMsgIdHex},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto message = mail({{"To", "ann@example.com"}});
    row.change(*message->root().child("TVMD"));
    ASSERT_EQ(evaluate(*message).out.size(), 1u);
    const Mail m = nextMail();
    EXPECT_EQ(sentDate(m) == "07 Mar 2001 09:05:03 GMT", row.fixedDate) << sentDate(m);
    EXPECT_TRUE(row.fixedDate || std::regex_match(sentDate(m), now)) << sentDate(m);
    EXPECT_EQ(m.data.find(row.id.empty() ? "Message-ID" : row.id) != std::string::npos, !row.id.empty());
  }
}

// Each row adds rich fields to a mail to ann without a body and checks what a strict MIME
// parser makes of it: the values of the fields named (up to a ';'), then the leaf parts; or,
// with nothing parsed, that the mail is refused before it is sent.
TEST_F(NodeTest, RichFieldsArriveAsStandardMime) {
  std::vector<uint8_t> binary(600000);  // its base64 goes out in several stretches
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i * 7 + i / 256);
  const std::string binaryText(binary.begin(), binary.end());
  const std::string longName = "Übersicht März " + std::string(80, 'x') + ".csv";
  const std::string longValue = "Grüße " + std::string(200, 'g');

  const struct { const char* name; std::function<void(memhost::Element&)> fill; std::string parsed; } rows[] = {
      {"text and HTML are alternatives, text first; the message's own header fields, forbidden and malformed names "
       "skipped; ReplyTo, not the sender, in Reply-To",
       [&](memhost::Element& top) {
         top.addText("Body", "Grüße\n.a dot line\n");
         folder(top, "MailHtml", {{"L", "<p>Grüße</p>"}, {"L", ".<b>x</b>"}});
         folder(top, "Header", {{"X-Ticket", "4711"}, {"X-Multi", "one\r\ntwo"}, {"X-Greeting", longValue},
                                {"Subject", "forged"}, {"content-type", "text/forged"}, {"Bad Name", "forged"},
                                {"X:Colon", "forged"}});
         top.addText("ReplyTo", "Desk <desk@example.com>");
         top.addText("MailReplyTo", "ops@example.com");
       },
       "Content-Type: multipart/alternative\nX-Ticket: 4711\nX-Multi: one  two\nX-Greeting: " + longValue +
           "\nSubject: Hello\nReply-To: Desk <desk@example.com>, ops@example.com\n"
           "text/plain  Grüße\r\n.a dot line\r\n\ntext/html  <p>Grüße</p>\r\n.<b>x</b>\n"},
      {"a binary and a text attachment beside the body; a multipart type is never base64: the default instead",
       [&](memhost::Element& top) {
         top.addText("Body", "see attached");
         folder(top, "Attachment", {{"Name", "data.bin"}, {"ContentType", "Multipart/mixed"}}).addBytes("Data", binary);
         folder(top, "MailAttachment", {{"Name", longName}, {"ContentType", "text/csv"}, {"Data", "a;b\nä;1\n"}});
       },
       "Content-Type: multipart/mixed\nSubject: Hello\nReply-To: \ntext/plain  see attached\n"
       "application/octet-stream data.bin (binary)\ntext/csv " + longName + " a;b\nä;1\n\n"},
      {"a line break in ReplyTo refuses the mail, as in To",
       [](memhost::Element& top) { top.addText("ReplyTo", "desk@example.com\r\nBcc: spy@example.com"); }, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto message = mail({{"To", "ann@example.com"}, {"Subject", "Hello"}});
    row.fill(top(*message));
    const Result r = evaluate(*message);
    if (row.parsed.empty()) {
      EXPECT_EQ(r.error(), "Bad parameters");
      continue;
    }
    ASSERT_EQ(r.out.size(), 1u) << r.error();
    const Mail m = nextMail();
    std::string parsed;
    for (const std::string name : {"Content-Type", "X-Ticket", "X-Multi", "X-Greeting", "Subject", "Reply-To"})
      for (const auto& [key, value] : m.headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) parsed += name + ": " + value.substr(0, value.find(';')) + "\n";
    for (const Mail::Part& p : m.parts)
      parsed += p.type + " " + p.filename + " " + (p.bytes == binaryText ? "(binary)" : p.bytes) + "\n";
    EXPECT_EQ(parsed, row.parsed);
    EXPECT_THAT(m.data, Not(HasSubstr("forged")));
  }
}

}  // namespace
}  // namespace nodetest
