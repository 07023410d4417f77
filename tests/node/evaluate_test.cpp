// The evaluate callback end to end: a message on the in-memory host goes through the node's
// callback table, out to a real SMTP server, and on through "out" or "failure".
#include <strings.h>

#include <functional>
#include <regex>

#include "SendMessage.h"
#include "node_fixture.h"

namespace nodetest {
namespace {

using ::testing::Not;

std::vector<std::string> after(const std::vector<memhost::HostCall>& calls, const std::string& operation) {
  std::vector<std::string> out;
  bool seen = false;
  for (const auto& call : calls) {
    if (seen) out.push_back(call.operation);
    seen = seen || call.operation == operation;
  }
  return out;
}

TEST_F(NodeTest, WorkedExampleIsSentAndTheInputGoesOut) {
  server_->allowDefects(true);  // addresses without a domain: a strict parser notes a defect
  set("SMTPFrom", "alerts");
  auto message = host_.newMessage();
  memhost::Element& top = shape(*message);
  for (auto [name, value] : {std::pair{"To", "ann"}, {"To", "bob"}, {"Cc", "carl"}, {"Subject", "Test"}})
    top.addText(name, value);
  memhost::Element& body = top.addChild("Body");
  body.addText("Line", "one");
  body.addText("Line", "two");
  auto before = message->clone();

  Result r = evaluate(*message);
  ASSERT_EQ(r.out.size(), 1u);
  EXPECT_TRUE(r.failure.empty());
  EXPECT_EQ(r.out[0].original, message->handle()) << "the input message itself goes on";
  EXPECT_EQ(r.out[0].companionA, node_->defaultCompanionA());
  EXPECT_EQ(r.out[0].companionB, node_->defaultCompanionB());
  EXPECT_TRUE(message->root().sameTree(before->root())) << "the input is not changed";
  ASSERT_EQ(r.log.size(), 1u);
  const memhost::LogEntry& log = r.log[0];
  EXPECT_EQ(std::tie(log.type, log.line, log.sourceFile, log.text, log.messageNumber),
            std::make_tuple(2, 1637, std::string("SendMailPlugIn"), std::string(), 0));
  EXPECT_EQ(log.messageSource, u"TVLNv201");
  EXPECT_THAT(log.inserts, ElementsAre("Message propagated"));

  auto mails = mailsSinceStart(1);
  ASSERT_EQ(mails.size(), 1u);
  const auto& m = mails[0];
  EXPECT_EQ(m.mailFrom, "alerts");
  EXPECT_THAT(m.rcptTos, ElementsAre("ann", "bob", "carl"));
  EXPECT_EQ(m.to + "|" + m.cc + "|" + m.from + "|" + m.subject, "ann, bob|carl|alerts|Test");
  EXPECT_THAT(m.data, HasSubstr("\r\nDate: 07 Mar 2001 09:05:03 GMT\r\n"));
  EXPECT_THAT(m.messageId, HasSubstr(kMsgIdHex));
  EXPECT_EQ(lf(m.body), "one\ntwo");
  EXPECT_THAT(m.data, HasSubstr("Priority: Normal\r\nImportance: Normal\r\nReply-to: alerts\r\nX-Priority: 3 (Normal)\r\n"));
}

TEST_F(NodeTest, FailureRoadCarriesTheReasonInACopy) {
  auto message = simpleMail("refuse550@example.com");
  auto before = message->clone();
  Result r;
  std::vector<memhost::HostCall> calls = callsOf(*message, &r);
  ASSERT_TRUE(r.out.empty());
  ASSERT_EQ(r.failure.size(), 1u);
  EXPECT_NE(r.failure[0].original, message->handle());
  EXPECT_EQ(r.failure[0].companionA, node_->defaultCompanionA());
  EXPECT_EQ(r.failure[0].companionB, node_->defaultCompanionB());
  EXPECT_TRUE(message->root().sameTree(before->root())) << "only the copy carries the error";
  EXPECT_THAT(after(calls, "cniPropagate"), ElementsAre("cciLog", "cniDeleteMessage"));
  EXPECT_THAT(r.log.at(0).inserts, ElementsAre("Message propagated"));
  EXPECT_EQ(server_->mails().size(), mailsBefore_) << "a refused mail is not stored";

  // The reason is exactly the client's own text for the same request to the same server.
  int32_t code = 0;
  std::string expected = SendEmailMessage("127.0.0.1", server_->port(), "", "refuse550@example.com", "", "",
                                          "Hello", "", "", "Hello there.", 3, &code);
  EXPECT_THAT(expected, StartsWith("550"));
  EXPECT_EQ(errorOf(*r.failure[0].message), expected);
  // The copy is the input plus "SendMailError" (a name-value element) as the top's last child.
  memhost::Element* top = r.failure[0].message->root().lastChild()->lastChild();
  EXPECT_EQ(top->lastChild()->type(), 0x01000000);
  EXPECT_EQ(top->lastChild()->firstChild()->type(), 0x02000000);
  EXPECT_EQ(top->children().size(), before->root().lastChild()->lastChild()->children().size() + 1);

  // No child at all: the reason goes under the copy's root; a folder without a top element:
  // under that folder.
  for (bool folder : {false, true}) {
    auto bare = host_.newMessage();
    if (folder) bare->root().addChild("Properties");
    r = evaluate(*bare);
    ASSERT_EQ(r.failure.size(), 1u);
    const memhost::Element* parent = &r.failure[0].message->root();
    if (folder) parent = parent->lastChild();
    ASSERT_NE(parent->lastChild(), nullptr);
    EXPECT_EQ(parent->lastChild()->nameUtf8(), "SendMailError") << folder;
  }
}

TEST_F(NodeTest, FieldNamesOrderValuesAndBlindCopies) {
  set("Bcc", "audit@example.com");
  auto message = host_.newMessage();
  memhost::Element& top = shape(*message);
  for (auto [name, value] : {std::pair{"To", "ann@example.com"}, {"to", "lower@example.com"}, {"TO", "upper@example.com"},
                             {"MailTo", "bob@example.com"}, {"MailCc", "carl@example.com"}, {"Bcc", "dora@example.com"},
                             {"MailFrom", "first@example.com"}, {"From", "second@example.com"},
                             {"Subject", "first subject"}, {"Body", "replaced own value"}})
    top.addText(name, value);
  top.addText("MailSubject", std::string(3000, 's'));  // longer than the first value buffer
  memhost::Element& body = top.addChild("MailBody");
  for (const char* line : {"one", "", "three"}) body.addText("L", line);

  ASSERT_EQ(evaluate(*message).out.size(), 1u);
  auto mails = mailsSinceStart(1);
  ASSERT_EQ(mails.size(), 1u);
  const auto& m = mails[0];
  EXPECT_THAT(m.rcptTos, ElementsAre("ann@example.com", "bob@example.com", "carl@example.com", "dora@example.com",
                                     "audit@example.com"));
  EXPECT_EQ(m.to, "ann@example.com, bob@example.com");
  EXPECT_THAT(m.data, Not(HasSubstr("audit"))) << "the node's blind copy is in the envelope only";
  EXPECT_EQ(m.mailFrom, "second@example.com");
  EXPECT_EQ(m.subject, std::string(3000, 's'));
  EXPECT_EQ(lf(m.body), "one\n\nthree");

  // No recipient: with the (empty) Bcc attribute the client meets the server's refusal; a
  // context without a Bcc attribute fails before any session.
  for (bool withBcc : {true, false}) {
    memhost::Node* node = newNode(withBcc ? "with" : "without", {});
    auto* context = static_cast<NodeContext*>(node->context());
    for (AttributeTableEntry* e = context->attributeTableHead; e && !withBcc; e = e->next)
      if (e->name[0] == u'B') e->name[0] = u'b';
    auto nobody = host_.newMessage();
    shape(*nobody).addText("Subject", "nobody");
    Result r = evaluate(*nobody, node);
    ASSERT_EQ(r.failure.size(), 1u);
    EXPECT_THAT(errorOf(*r.failure[0].message), withBcc ? StartsWith("5") : StartsWith("No recipients found"));
  }
}

// Each row makes one host call around propagation fail: what is logged, and how often the
// host's exception has been re-raised by then.
TEST_F(NodeTest, TerminalsNotAttachedOrFailing) {
  auto message = simpleMail("ann@example.com");
  node_->terminal("out")->setAttached(false);
  Result r = evaluate(*message);
  EXPECT_TRUE(r.out.empty() && r.failure.empty() && r.log.empty()) << "not attached: nothing propagated or logged";
  EXPECT_EQ(mailsSinceStart(1).size(), 1u) << "but the mail is sent";
  node_->terminal("out")->setAttached(true);

  const struct {
    const char* operation;
    int code;
    memhost::FaultMode mode;
    int line;  // of the log entry, 0: none
    const char* insert;
    std::size_t rethrows;
  } rows[] = {
      {"cniPropagate", 7, memhost::FaultMode::Instead, 1628, "Propagate failed", 0},
      {"cniPropagate", 64, memhost::FaultMode::Instead, 1628, "Propagate failed", 1},
      {"cniIsTerminalAttached", 7, memhost::FaultMode::AfterWork, 1651, "Error occurred", 1},
      {"cniIsTerminalAttached", 64, memhost::FaultMode::AfterWork, 0, "", 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.operation) + " " + std::to_string(row.code));
    host_.injectFault(row.operation, 1, row.code, row.mode);
    std::vector<memhost::HostCall> calls = callsOf(*message, &r);
    if (row.line != 1628) {
      EXPECT_TRUE(r.out.empty());
    }
    EXPECT_EQ(host_.rethrowCount(), row.rethrows);
    if (row.line == 0) {
      EXPECT_TRUE(r.log.empty());
      continue;
    }
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].type, 0);
    EXPECT_EQ(r.log[0].line, row.line);
    EXPECT_THAT(r.log[0].inserts, ElementsAre(row.insert));
    if (row.code == 64 && row.line == 1628) {
      EXPECT_THAT(after(calls, "cniPropagate"), ElementsAre("cciGetLastExceptionData", "cciRethrowLastException", "cciLog"));
    }
  }

  // A terminal the host failed to create: "Terminal not connected".
  host_.injectFault("cniCreateOutputTerminal", 1, 7);
  r = evaluate(*message, newNode("broken", {}));
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0].line, 1663);
  EXPECT_THAT(r.log[0].inserts, ElementsAre("Terminal not connected"));
}

// Node settings are read once, at the first message (even one the host cannot read), and never
// again; each row is then a node of its own.
TEST_F(NodeTest, SettingsAreLoadedOnceAndComposed) {
  set("SMTPFrom", "alerts@example.com");
  set("SMTPFullFrom", "Alert Service");
  set("SetPriority", "Yes");  // not "yes": the priority stays normal
  set("Priority", "Highest");
  auto message = simpleMail("ann@example.com");
  host_.injectFault("cniRootElement", 1, 7);
  evaluate(*message);
  host_.clearFaults();
  for (auto [name, value] : {std::pair{"SMTPFrom", "other@example.com"}, {"Security", "tls"}, {"Bcc", "late@example.com"},
                             {"SetPriority", "yes"}, {"ServerName", "no-such-host.invalid"}})
    set(name, value);
  ASSERT_EQ(evaluate(*message).out.size(), 1u);
  auto mails = mailsSinceStart(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].from, "Alert Service <alerts@example.com>");
  EXPECT_THAT(mails[0].rcptTos, ElementsAre("ann@example.com"));
  EXPECT_THAT(mails[0].data, HasSubstr("X-Priority: 3 (Normal)\r\n"));
  ++mailsBefore_;

  const struct {
    const char *smtpFrom, *fullFrom, *setPriority, *priority, *mailFrom, *xPriority;
  } rows[] = {
      {"alerts@example.com", "", "yes", "Lowest", "alerts@example.com", "X-Priority: 5 (Lowest)\r\n"},
      {"alerts@example.com", " Leading Blank", "yes", "High", "alerts@example.com", "X-Priority: 2 (High  )\r\n"},
      {"", "Alert Service", "yes", "Urgent", "message@example.com", "X-Priority: 3 (Normal)\r\n"},
      {" alerts@example.com", "", "", "Highest", "message@example.com", "X-Priority: 3 (Normal)\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string("SMTPFrom '") + row.smtpFrom + "' SMTPFullFrom '" + row.fullFrom + "'");
    memhost::Node* node = newNode(row.mailFrom, {{"SMTPFrom", row.smtpFrom}, {"SMTPFullFrom", row.fullFrom},
                                                 {"SetPriority", row.setPriority}, {"Priority", row.priority}});
    auto m = simpleMail("ann@example.com");
    m->root().lastChild()->lastChild()->addText("From", "message@example.com");
    ASSERT_EQ(evaluate(*m, node).out.size(), 1u);
    mails = mailsSinceStart(1);
    ++mailsBefore_;
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails.back().mailFrom, row.mailFrom);
    EXPECT_THAT(mails.back().data, HasSubstr(row.xPriority));
  }

  // A secure-submission value the node does not know fails every mail, naming the attribute.
  Result r = evaluate(*message, newNode("refusing", {{"Security", "ssl"}}));
  ASSERT_EQ(r.failure.size(), 1u);
  EXPECT_EQ(errorOf(*r.failure[0].message), "Security must be empty, starttls or tls");
}

// The port keeps its low 16 bits; one that is not a number is 0, and the mail goes to 25 (the
// reason is the client's own for port 25, where nothing listens here).
TEST_F(NodeTest, ServerPortKeepsItsLow16BitsAndZeroMeans25) {
  auto message = simpleMail("ann@example.com");
  for (auto [text, port] : {std::pair{"70000", 4464}, {"not a number", 0}}) {
    memhost::Node* node = newNode(text, {{"ServerPort", text}});
    Result r = evaluate(*message, node);
    EXPECT_EQ(static_cast<NodeContext*>(node->context())->serverPort, port) << text;
    if (port != 0) continue;
    int32_t code = 0;
    ASSERT_EQ(r.failure.size(), 1u);
    EXPECT_EQ(errorOf(*r.failure[0].message), SendEmailMessage("127.0.0.1", 25, "", "ann@example.com", "", "", "Hello",
                                                               "", "", "Hello there.", 3, &code));
  }
}

// Each row is a descriptor the node reads date and id from; none reuses the previous one's.
TEST_F(NodeTest, DescriptorDateAndMessageId) {
  const std::regex now(R"(\d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT)");
  const struct {
    const char* name;
    std::function<void(memhost::Message&)> make;
    bool fixedDate;
    std::string id;  // in the Message-ID, or "": no Message-ID line
  } rows[] = {
      {"full", [this](memhost::Message& m) { shape(m); }, true, kMsgIdHex},
      {"none", [this](memhost::Message& m) { shape(m, false); }, false, ""},
      {"no PutTime, short id", [](memhost::Message& m) {
         m.root().addChild("Properties");
         memhost::Element& tvmd = m.root().addChild("TVMD");
         tvmd.addDate("PutDate", kPutDate);
         tvmd.addBytes("MsgId", {0x00, 0x01, 0xAB});
         m.root().addChild("XML").addChild("Mail");
       }, false, "0001AB" + std::string(42, '0')},
      {"PutTime of another type",
       [this](memhost::Message& m) { shape(m); m.root().child("TVMD")->child("PutTime")->setText("09:05"); },
       false, kMsgIdHex},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto message = host_.newMessage();
    row.make(*message);
    message->root().lastChild()->lastChild()->addText("To", "ann@example.com");
    ASSERT_EQ(evaluate(*message).out.size(), 1u);
    auto mails = mailsSinceStart(1);
    ++mailsBefore_;
    ASSERT_EQ(mails.size(), 1u);
    const std::size_t at = mails[0].data.find("\r\nDate: ") + 8;
    const std::string date = mails[0].data.substr(at, mails[0].data.find("\r\n", at) - at);
    EXPECT_EQ(date == "07 Mar 2001 09:05:03 GMT", row.fixedDate) << date;
    EXPECT_TRUE(row.fixedDate || std::regex_match(date, now)) << date;
    EXPECT_EQ(mails[0].data.find(row.id.empty() ? "Message-ID" : row.id) != std::string::npos, !row.id.empty());
  }
}

// Each row adds rich fields to a mail to ann without a body and checks what a strict MIME parser makes of it.
TEST_F(NodeTest, RichFieldsArriveAsStandardMime) {
  using Mail = testsupport::ReceivedMail;
  const auto values = [](const Mail& m, std::string name) {
    std::vector<std::string> out;
    for (const auto& [key, value] : m.headers)
      if (strcasecmp(key.c_str(), name.c_str()) == 0) out.push_back(value);
    return out;
  };
  const auto parts = [](const Mail& m) {
    std::vector<std::string> out;
    for (const Mail::Part& p : m.parts) out.push_back(p.type + " " + p.filename + " " + p.bytes);
    return out;
  };
  std::vector<uint8_t> binary(70000);
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i * 7 + i / 256);
  const std::string binaryText(binary.begin(), binary.end());
  const std::string longName = "Übersicht März " + std::string(80, 'x') + ".csv";
  const std::string longValue = "Grüße " + std::string(200, 'g');
  using Fields = std::vector<std::pair<std::string, std::string>>;
  const auto folder = [](memhost::Element& top, const char* name, const Fields& children) {
    memhost::Element& f = top.addChild(name);
    for (const auto& [child, value] : children) f.addText(child, value);
    return &f;
  };

  const struct {
    const char* name;
    std::function<void(memhost::Element&)> fill;
    std::function<void(const Mail&)> check;  // none: the mail is refused before it is sent
  } rows[] = {
      {"text and HTML are alternatives, text first",
       [&](memhost::Element& top) {
         top.addText("Body", "Grüße\n.a dot line\n");
         folder(top, "MailHtml", {{"L", "<p>Grüße</p>"}, {"L", ".<b>x</b>"}});
       },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "Content-Type"), ElementsAre(StartsWith("multipart/alternative")));
         EXPECT_THAT(parts(m), ElementsAre("text/plain  Grüße\r\n.a dot line\r\n", "text/html  <p>Grüße</p>\r\n.<b>x</b>"));
       }},
      {"a binary and a text attachment beside the body",
       [&](memhost::Element& top) {
         top.addText("Body", "see attached");
         // A multipart type is never base64: the default instead.
         folder(top, "Attachment", {{"Name", "data.bin"}, {"ContentType", "Multipart/mixed"}})->addBytes("Data", binary);
         folder(top, "MailAttachment", {{"Name", longName}, {"ContentType", "text/csv"}, {"Data", "a;b\nä;1\n"}});
       },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "Content-Type"), ElementsAre(StartsWith("multipart/mixed")));
         EXPECT_THAT(parts(m), ElementsAre("text/plain  see attached", "application/octet-stream data.bin " + binaryText,
                                           "text/csv " + longName + " a;b\nä;1\n"));
       }},
      {"the message's own header fields, forbidden and malformed names skipped",
       [&](memhost::Element& top) {
         folder(top, "Header", {{"X-Ticket", "4711"}, {"X-Multi", "one\r\ntwo"}, {"X-Greeting", longValue},
                                {"Subject", "forged"}, {"content-type", "text/forged"}, {"Bad Name", "forged"},
                                {"X:Colon", "forged"}});
       },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "X-Ticket"), ElementsAre("4711"));
         EXPECT_THAT(values(m, "X-Multi"), ElementsAre("one  two"));
         EXPECT_THAT(values(m, "X-Greeting"), ElementsAre(longValue));
         EXPECT_THAT(values(m, "Subject"), ElementsAre("Hello"));
         EXPECT_THAT(m.data, Not(HasSubstr("forged")));
       }},
      {"ReplyTo replaces the sender in Reply-to",
       [](memhost::Element& top) {
         top.addText("ReplyTo", "Desk <desk@example.com>");
         top.addText("MailReplyTo", "ops@example.com");
       },
       [&](const Mail& m) { EXPECT_THAT(values(m, "Reply-To"), ElementsAre("Desk <desk@example.com>, ops@example.com")); }},
      {"a line break in ReplyTo refuses the mail, as in To",
       [](memhost::Element& top) { top.addText("ReplyTo", "desk@example.com\r\nBcc: spy@example.com"); }, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto message = host_.newMessage();
    memhost::Element& top = shape(*message);
    top.addText("To", "ann@example.com");
    top.addText("Subject", "Hello");
    row.fill(top);
    Result r = evaluate(*message);
    if (!row.check) {
      ASSERT_EQ(r.failure.size(), 1u);
      EXPECT_EQ(errorOf(*r.failure[0].message), "Bad parameters");
      continue;
    }
    ASSERT_EQ(r.out.size(), 1u) << (r.failure.empty() ? "" : errorOf(*r.failure[0].message));
    auto mails = mailsSinceStart(1);
    ASSERT_EQ(mails.size(), 1u);
    row.check(mails[0]);
    mailsBefore_ += 1;
  }
}

}  // namespace
}  // namespace nodetest
