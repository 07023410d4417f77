// The evaluate callback end to end: a message on the in-memory host goes through the node's
// callback table, out to a real SMTP server, and on through "out" or "failure".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <functional>
#include <regex>
#include <thread>

#include "SendMessage.h"
#include "node_fixture.h"

namespace nodetest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string lf(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The raw value of a header line as it went over the wire (unfolded lines only).
std::string header(const std::string& data, const std::string& name) {
  std::string key = "\r\n" + name + ": ";
  std::string text = "\r\n" + data;
  std::size_t at = text.find(key);
  if (at == std::string::npos) return "(no " + name + " line)";
  at += key.size();
  return text.substr(at, text.find("\r\n", at) - at);
}

TEST_F(NodeTest, WorkedExampleIsSentAndTheInputGoesOut) {
  // The example's addresses have no domain, which a strict mail parser notes as a defect.
  server_->allowDefects(true);
  set("SMTPFrom", "alerts");
  auto message = workedExample();
  auto before = message->clone();

  Result r = evaluate(*message);

  ASSERT_EQ(r.out.size(), 1u);
  EXPECT_TRUE(r.failure.empty());
  EXPECT_EQ(r.out[0].original, message->handle()) << "the input message itself goes on";
  EXPECT_EQ(r.out[0].companionA, node_->defaultCompanionA());
  EXPECT_EQ(r.out[0].companionB, node_->defaultCompanionB());
  EXPECT_TRUE(message->root().sameTree(before->root())) << "the input is not changed";

  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0].type, 2);
  EXPECT_EQ(r.log[0].line, 1637);
  EXPECT_EQ(r.log[0].sourceFile, "SendMailPlugIn");
  EXPECT_EQ(r.log[0].text, "");
  EXPECT_EQ(r.log[0].messageSource, u"TVLNv201");
  EXPECT_EQ(r.log[0].messageNumber, 0);
  EXPECT_THAT(r.log[0].inserts, ElementsAre("Message propagated"));

  auto mails = mailsSinceStart(1);
  server_->allowDefects(false);
  ASSERT_EQ(mails.size(), 1u);
  const auto& m = mails[0];
  EXPECT_EQ(m.mailFrom, "alerts");
  EXPECT_THAT(m.rcptTos, ElementsAre("ann", "bob", "carl"));
  EXPECT_EQ(m.to, "ann, bob");
  EXPECT_EQ(m.cc, "carl");
  EXPECT_EQ(m.from, "alerts");
  EXPECT_EQ(m.subject, "Test");
  EXPECT_EQ(header(m.data, "Date"), "07 Mar 2001 09:05:03 GMT");
  EXPECT_THAT(m.messageId, HasSubstr(sampleMsgIdHex()));
  EXPECT_EQ(lf(m.body), "one\ntwo");
  EXPECT_THAT(m.data, HasSubstr("Priority: Normal\r\n"));
  EXPECT_THAT(m.data, HasSubstr("X-Priority: 3 (Normal)\r\n"));
}

TEST_F(NodeTest, FailureRoadCarriesTheReasonInACopy) {
  // A refused recipient: the copy's "SendMailError" is exactly the client's text.
  auto message = simpleMail("refuse550@example.com");
  auto before = message->clone();
  host_.recordCalls(true);
  Result r = evaluate(*message);
  std::vector<memhost::HostCall> calls = host_.calls();
  host_.recordCalls(false);

  ASSERT_TRUE(r.out.empty());
  ASSERT_EQ(r.failure.size(), 1u);
  EXPECT_NE(r.failure[0].original, message->handle());
  EXPECT_EQ(r.failure[0].companionA, node_->defaultCompanionA());
  EXPECT_EQ(r.failure[0].companionB, node_->defaultCompanionB());
  EXPECT_TRUE(message->root().sameTree(before->root())) << "only the copy carries the error";
  EXPECT_EQ(host_.liveCreatedMessages(), 0u) << "the failure message is deleted after propagation";

  // The client's own text for the same request, from the same server.
  int32_t code = 0;
  std::string expected = SendEmailMessage("127.0.0.1", server_->port(), "", "refuse550@example.com", "", "",
                                          "Hello", "", "", "Hello there.", 3, &code);
  EXPECT_EQ(code, -1);
  EXPECT_THAT(expected, StartsWith("550"));
  EXPECT_EQ(errorOf(*r.failure[0].message), expected);

  // The copy is the input plus "SendMailError" as the last child of the top element.
  memhost::Element* top = r.failure[0].message->root().lastChild()->lastChild();
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->lastChild()->nameUtf8(), "SendMailError");
  EXPECT_EQ(top->lastChild()->type(), 0x01000000);
  EXPECT_EQ(top->lastChild()->firstChild()->type(), 0x02000000);
  EXPECT_EQ(top->children().size(), before->root().lastChild()->lastChild()->children().size() + 1);

  // Propagated, then deleted.
  std::size_t propagate = 0, remove = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].operation == "cniPropagate") propagate = i;
    if (calls[i].operation == "cniDeleteMessage") remove = i;
  }
  EXPECT_LT(propagate, remove);
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_THAT(r.log[0].inserts, ElementsAre("Message propagated"));
  EXPECT_EQ(server_->mails().size(), mailsBefore_) << "a refused mail is not stored";
}

TEST_F(NodeTest, RecipientsComeFromTheMessageOrTheNodeBlindCopy) {
  // Without a readable Bcc attribute, a message without recipients fails before any session.
  auto noRecipients = [this] {
    auto message = host_.newMessage();
    shape(*message).addText("Subject", "nobody");
    return message;
  };
  for (AttributeTableEntry* e = context().attributeTableHead; e != nullptr; e = e->next) {
    if (e->name[0] == u'B') e->name[0] = u'b';  // the context no longer has "Bcc"
  }
  auto message = noRecipients();
  Result r = evaluate(*message);
  ASSERT_EQ(r.failure.size(), 1u);
  EXPECT_EQ(errorOf(*r.failure[0].message), "No recipients found");

  // With the usual empty Bcc attribute, the blind-copy list exists (empty), so the client is
  // called with empty lists and the server's refusal of the empty envelope is the reason.
  host_.reset();
  SetUp();
  message = noRecipients();
  r = evaluate(*message);
  ASSERT_EQ(r.failure.size(), 1u);
  std::string reason = errorOf(*r.failure[0].message);
  EXPECT_NE(reason, "No recipients found");
  EXPECT_THAT(reason, StartsWith("5"));

  // A Bcc attribute adds a blind copy to every mail: envelope only, no header.
  host_.reset();
  SetUp();
  set("Bcc", "audit@example.com");
  message = simpleMail("ann@example.com");
  r = evaluate(*message);
  ASSERT_EQ(r.out.size(), 1u);
  auto mails = mailsSinceStart(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_THAT(mails[0].rcptTos, ElementsAre("ann@example.com", "audit@example.com"));
  EXPECT_THAT(mails[0].data, ::testing::Not(HasSubstr("audit")));
}

TEST_F(NodeTest, FieldNamesOrderAndValues) {
  auto message = host_.newMessage();
  memhost::Element& top = shape(*message);
  top.addText("To", "ann@example.com");
  top.addText("to", "skipped-lower@example.com");
  top.addText("TO", "skipped-upper@example.com");
  top.addText("MailTo", "bob@example.com");
  top.addText("MailCc", "carl@example.com");
  top.addText("Bcc", "dora@example.com");
  top.addText("MailFrom", "first@example.com");
  top.addText("From", "second@example.com");
  top.addText("Subject", "first subject");
  top.addText("MailSubject", std::string(3000, 's'));  // longer than the first value buffer
  top.addText("Body", "replaced own value");
  memhost::Element& body = top.addChild("MailBody");
  body.addText("A", "one");
  body.addText("B", "");
  body.addText("C", "three");

  Result r = evaluate(*message);
  ASSERT_EQ(r.out.size(), 1u);
  auto mails = mailsSinceStart(1);
  ASSERT_EQ(mails.size(), 1u);
  const auto& m = mails[0];
  EXPECT_THAT(m.rcptTos, ElementsAre("ann@example.com", "bob@example.com", "carl@example.com", "dora@example.com"));
  EXPECT_EQ(m.to, "ann@example.com, bob@example.com");
  EXPECT_EQ(m.mailFrom, "second@example.com");
  EXPECT_EQ(m.subject, std::string(3000, 's'));
  EXPECT_EQ(lf(m.body), "one\n\nthree");
}

TEST_F(NodeTest, TerminalsNotAttachedMissingOrFailing) {
  // Not attached: the mail is sent, nothing is propagated, nothing is logged.
  node_->terminal("out")->setAttached(false);
  auto message = simpleMail("ann@example.com");
  Result r = evaluate(*message);
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(r.failure.empty());
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(mailsSinceStart(1).size(), 1u);
  node_->terminal("out")->setAttached(true);

  // Propagation failing with another code, then with the host's exception code.
  host_.injectFault("cniPropagate", 1, 7);
  r = evaluate(*message);
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0].type, 0);
  EXPECT_EQ(r.log[0].line, 1628);
  EXPECT_THAT(r.log[0].inserts, ElementsAre("Propagate failed"));
  EXPECT_EQ(host_.rethrowCount(), 0u);

  host_.injectFault("cniPropagate", 1, 64);
  host_.recordCalls(true);
  r = evaluate(*message);
  std::vector<memhost::HostCall> calls = host_.calls();
  host_.recordCalls(false);
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_THAT(r.log[0].inserts, ElementsAre("Propagate failed"));
  EXPECT_EQ(host_.rethrowCount(), 1u);
  std::vector<std::string> after;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].operation == "cniPropagate") {
      for (std::size_t j = i + 1; j < calls.size(); ++j) after.push_back(calls[j].operation);
    }
  }
  EXPECT_THAT(after, ElementsAre("cciGetLastExceptionData", "cciRethrowLastException", "cciLog"));

  // The attachment check failing: another code logs "Error occurred"; 64 re-raises, no log.
  host_.injectFault("cniIsTerminalAttached", 1, 7, memhost::FaultMode::AfterWork);
  r = evaluate(*message);
  EXPECT_TRUE(r.out.empty());
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0].line, 1651);
  EXPECT_THAT(r.log[0].inserts, ElementsAre("Error occurred"));

  host_.injectFault("cniIsTerminalAttached", 1, 64, memhost::FaultMode::AfterWork);
  r = evaluate(*message);
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(host_.rethrowCount(), 2u);

  // A terminal the host failed to create: "Terminal not connected".
  host_.injectFault("cniCreateOutputTerminal", 1, 7);
  memhost::Node* broken = host_.createNode("SendMailPlugInNode", "broken");
  ASSERT_NE(broken, nullptr);
  ASSERT_EQ(broken->setAttribute("ServerName", "127.0.0.1"), 0);
  ASSERT_EQ(broken->setAttribute("ServerPort", std::to_string(server_->port())), 0);
  host_.clearLog();
  broken->evaluate(*message);
  std::vector<memhost::LogEntry> log = host_.logEntries();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].type, 0);
  EXPECT_EQ(log[0].line, 1663);
  EXPECT_THAT(log[0].inserts, ElementsAre("Terminal not connected"));
}

// Node settings are read once, at the first message, and never again.
TEST_F(NodeTest, SettingsAreLoadedOnceAndComposed) {
  set("SMTPFrom", "alerts@example.com");
  set("SMTPFullFrom", "Alert Service");
  set("SetPriority", "Yes");  // not "yes": the priority stays normal
  set("Priority", "Highest");
  auto message = simpleMail("ann@example.com");
  // A first message the host cannot read still fixes the settings.
  host_.injectFault("cniRootElement", 1, 7);
  evaluate(*message);
  host_.clearFaults();
  set("SMTPFrom", "early@example.com");
  ASSERT_EQ(evaluate(*message).out.size(), 1u);

  set("SMTPFrom", "other@example.com");
  set("Security", "tls");  // read with the others at the first message: the mail stays plain
  set("Bcc", "late@example.com");
  set("SetPriority", "yes");
  set("Priority", "Lowest");
  set("ServerName", "no-such-host.invalid");
  ASSERT_EQ(evaluate(*message).out.size(), 1u);

  auto mails = mailsSinceStart(2);
  ASSERT_EQ(mails.size(), 2u);
  for (const auto& m : mails) {
    EXPECT_EQ(m.mailFrom, "alerts@example.com");
    EXPECT_EQ(m.from, "Alert Service <alerts@example.com>");
    EXPECT_THAT(m.rcptTos, ElementsAre("ann@example.com"));
    EXPECT_THAT(m.data, HasSubstr("X-Priority: 3 (Normal)\r\n"));
  }

  struct Case {
    const char* smtpFrom;
    const char* fullFrom;
    const char* setPriority;
    const char* priority;
    const char* mailFrom;
    const char* xPriority;
  };
  const Case cases[] = {
      {"alerts@example.com", "", "yes", "Lowest", "alerts@example.com", "X-Priority: 5 (Lowest)\r\n"},
      {"alerts@example.com", " Leading Blank", "yes", "High", "alerts@example.com", "X-Priority: 2 (High  )\r\n"},
      {"", "Alert Service", "yes", "Urgent", "message@example.com", "X-Priority: 3 (Normal)\r\n"},
      {" alerts@example.com", "", "", "Highest", "message@example.com", "X-Priority: 3 (Normal)\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("SMTPFrom '") + c.smtpFrom + "' SMTPFullFrom '" + c.fullFrom + "'");
    memhost::Node* node = host_.createNode("SendMailPlugInNode", c.mailFrom);
    ASSERT_NE(node, nullptr);
    for (auto [name, value] : {std::pair{"ServerName", std::string("127.0.0.1")},
                               {"ServerPort", std::to_string(server_->port())},
                               {"SMTPFrom", std::string(c.smtpFrom)},
                               {"SMTPFullFrom", std::string(c.fullFrom)},
                               {"SetPriority", std::string(c.setPriority)},
                               {"Priority", std::string(c.priority)}}) {
      ASSERT_EQ(node->setAttribute(name, value), 0);
    }
    auto m = simpleMail("ann@example.com");
    m->root().lastChild()->lastChild()->addText("From", "message@example.com");
    std::size_t count = server_->mails().size();
    node->evaluate(*m);
    auto all = server_->waitForMails(count + 1);
    ASSERT_EQ(all.size(), count + 1);
    EXPECT_EQ(all.back().mailFrom, c.mailFrom);
    EXPECT_THAT(all.back().data, HasSubstr(c.xPriority));
  }

  // A secure-submission value the node does not know fails every mail, naming the attribute.
  memhost::Node* refusing = host_.createNode("SendMailPlugInNode", "refusing");
  ASSERT_NE(refusing, nullptr);
  for (auto [name, value] : {std::pair{"ServerName", std::string("127.0.0.1")},
                             {"ServerPort", std::to_string(server_->port())}, {"Security", std::string("ssl")}}) {
    ASSERT_EQ(refusing->setAttribute(name, value), 0);
  }
  auto m = simpleMail("ann@example.com");
  std::size_t count = server_->mails().size();
  refusing->evaluate(*m);
  const auto failed = refusing->terminal("failure")->takePropagations();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(errorOf(*failed[0].message), "Security must be empty, starttls or tls");
  EXPECT_EQ(server_->mails().size(), count);
}

TEST_F(NodeTest, ServerPortKeepsItsLow16BitsAndZeroMeans25) {
  set("ServerPort", "70000");
  auto message = simpleMail("ann@example.com");
  evaluate(*message);
  EXPECT_EQ(context().serverPort, 4464);

  // Port 0 (empty or not a number) goes to 25: listen there when we may, and see the node come.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(25);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0) {
    close(listener);
    GTEST_SKIP() << "cannot listen on 127.0.0.1:25 here";
  }
  bool accepted = false;
  std::thread peer([&] {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 10000) == 1) {
      int s = accept(listener, nullptr, nullptr);
      if (s >= 0) {
        accepted = true;
        const char bye[] = "421 closing\r\n";
        (void)!write(s, bye, sizeof bye - 1);
        close(s);
      }
    }
  });
  memhost::Node* node = host_.createNode("SendMailPlugInNode", "port-zero");
  ASSERT_EQ(node->setAttribute("ServerName", "127.0.0.1"), 0);
  ASSERT_EQ(node->setAttribute("ServerPort", "not a number"), 0);
  host_.clearLog();
  node->evaluate(*message);
  peer.join();
  close(listener);
  EXPECT_EQ(static_cast<NodeContext*>(node->context())->serverPort, 0);
  EXPECT_TRUE(accepted) << "the mail went to port 25";
  auto failures = node->terminal("failure")->takePropagations();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(errorOf(*failures[0].message), "Unknown TCP/IP error");
}

TEST_F(NodeTest, DescriptorDateAndMessageId) {
  const std::regex currentDate(R"(\d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT)");

  // A full descriptor first, then messages that must not reuse anything of it.
  auto full = simpleMail("ann@example.com", "full");
  auto none = host_.newMessage();
  memhost::Element& top = shape(*none, false);
  top.addText("To", "ann@example.com");
  top.addText("Subject", "none");
  auto partial = host_.newMessage();
  partial->root().addChild("Properties");
  memhost::Element& tvmd = partial->root().addChild("TVMD");
  tvmd.addDate("PutDate", kPutDate);  // no PutTime
  tvmd.addBytes("MsgId", {0x00, 0x01, 0xAB});
  memhost::Element& partialTop = partial->root().addChild("XML").addChild("Mail");
  partialTop.addText("To", "ann@example.com");
  partialTop.addText("Subject", "partial");
  auto wrongType = simpleMail("ann@example.com", "wrong type");
  wrongType->root().child("TVMD")->child("PutTime")->setText("09:05");

  for (auto* m : {full.get(), none.get(), partial.get(), wrongType.get()}) ASSERT_EQ(evaluate(*m).out.size(), 1u);
  auto mails = mailsSinceStart(4);
  ASSERT_EQ(mails.size(), 4u);

  EXPECT_EQ(header(mails[0].data, "Date"), "07 Mar 2001 09:05:03 GMT");
  EXPECT_THAT(mails[0].messageId, HasSubstr(sampleMsgIdHex()));

  EXPECT_TRUE(std::regex_match(header(mails[1].data, "Date"), currentDate)) << header(mails[1].data, "Date");
  EXPECT_EQ(mails[1].messageId, "") << "no id read: no Message-ID line, never the previous one";
  EXPECT_THAT(mails[1].data, ::testing::Not(HasSubstr("Message-ID")));

  EXPECT_TRUE(std::regex_match(header(mails[2].data, "Date"), currentDate)) << "no PutTime: " << header(mails[2].data, "Date");
  EXPECT_THAT(mails[2].messageId, HasSubstr("0001AB" + std::string(42, '0'))) << "a short id is zero-filled";

  EXPECT_TRUE(std::regex_match(header(mails[3].data, "Date"), currentDate)) << "unreadable PutTime: " << header(mails[3].data, "Date");
  EXPECT_THAT(mails[3].messageId, HasSubstr(sampleMsgIdHex()));
}

TEST_F(NodeTest, FailureMessageOfATreeWithoutBodyStillCarriesTheReason) {
  // No child at all: the reason goes under the copy's root. Only a folder without a top
  // element: under that folder.
  auto empty = host_.newMessage();
  Result r = evaluate(*empty);
  ASSERT_EQ(r.failure.size(), 1u);
  ASSERT_EQ(r.failure[0].message->root().children().size(), 1u);
  EXPECT_EQ(r.failure[0].message->root().firstChild()->nameUtf8(), "SendMailError");
  EXPECT_NE(errorOf(*r.failure[0].message), "(none)");

  auto folderOnly = host_.newMessage();
  folderOnly->root().addChild("Properties");
  r = evaluate(*folderOnly);
  ASSERT_EQ(r.failure.size(), 1u);
  const memhost::Element* folder = r.failure[0].message->root().lastChild();
  ASSERT_NE(folder, nullptr);
  ASSERT_NE(folder->lastChild(), nullptr);
  EXPECT_EQ(folder->lastChild()->nameUtf8(), "SendMailError");
}

// Each row adds rich fields to a mail to ann without a body and checks what a strict MIME parser makes of it.
TEST_F(NodeTest, RichFieldsArriveAsStandardMime) {
  using Mail = testsupport::ReceivedMail;
  using Part = Mail::Part;
  const auto values = [](const Mail& m, std::string name) {
    std::vector<std::string> out;
    for (const auto& [key, value] : m.headers)
      if (strcasecmp(key.c_str(), name.c_str()) == 0) out.push_back(value);
    return out;
  };
  const auto parts = [](const Mail& m) {
    std::vector<std::string> out;
    for (const Part& p : m.parts) out.push_back(p.type + " " + p.filename + " " + p.bytes);
    return out;
  };
  std::vector<uint8_t> binary(70000);
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i * 7 + i / 256);
  const std::string binaryText(binary.begin(), binary.end());
  const std::string longName = "Übersicht März " + std::string(80, 'x') + ".csv";

  struct Row {
    const char* name;
    std::function<void(memhost::Element&)> fill;
    std::function<void(const Mail&)> check;  // none: the mail is refused before it is sent
  };
  const Row rows[] = {
      {"text and HTML are alternatives, text first",
       [](memhost::Element& top) {
         top.addText("Body", "Grüße\n.a dot line\n");
         memhost::Element& html = top.addChild("MailHtml");
         html.addText("L", "<p>Grüße</p>");
         html.addText("L", ".<b>x</b>");
       },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "Content-Type"), ElementsAre(StartsWith("multipart/alternative")));
         EXPECT_THAT(parts(m), ElementsAre("text/plain  Grüße\r\n.a dot line\r\n", "text/html  <p>Grüße</p>\r\n.<b>x</b>"));
       }},
      {"HTML alone is the only part",
       [](memhost::Element& top) { top.addText("Html", "<p>only</p>"); },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "Content-Type"), ElementsAre(StartsWith("text/html")));
         EXPECT_EQ(lf(m.body), "<p>only</p>");
       }},
      {"a binary and a text attachment beside the body",
       [&](memhost::Element& top) {
         top.addText("Body", "see attached");
         memhost::Element& bin = top.addChild("Attachment");
         bin.addText("Name", "data.bin");
         bin.addText("ContentType", "Multipart/mixed");  // never base64: the default instead
         bin.addBytes("Data", binary);
         memhost::Element& csv = top.addChild("MailAttachment");
         csv.addText("Name", longName);
         csv.addText("ContentType", "text/csv");
         csv.addText("Data", "a;b\nä;1\n");
       },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "Content-Type"), ElementsAre(StartsWith("multipart/mixed")));
         EXPECT_THAT(parts(m), ElementsAre("text/plain  see attached", "application/octet-stream data.bin " + binaryText,
                                           "text/csv " + longName + " a;b\nä;1\n"));
       }},
      {"the message's own header fields, forbidden and malformed names skipped",
       [](memhost::Element& top) {
         memhost::Element& headers = top.addChild("Header");
         headers.addText("X-Ticket", "4711");
         headers.addText("X-Multi", "one\r\ntwo");
         headers.addText("X-Greeting", "Grüße " + std::string(200, 'g'));
         headers.addText("Subject", "forged");
         headers.addText("content-type", "text/forged");
         headers.addText("Bad Name", "forged");
         headers.addText("X:Colon", "forged");
       },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "X-Ticket"), ElementsAre("4711"));
         EXPECT_THAT(values(m, "X-Multi"), ElementsAre("one  two"));
         EXPECT_THAT(values(m, "X-Greeting"), ElementsAre("Grüße " + std::string(200, 'g')));
         EXPECT_THAT(values(m, "Subject"), ElementsAre("Hello"));
         EXPECT_THAT(m.data, ::testing::Not(HasSubstr("forged")));
       }},
      {"ReplyTo replaces the sender in Reply-to",
       [](memhost::Element& top) {
         top.addText("ReplyTo", "Desk <desk@example.com>");
         top.addText("MailReplyTo", "ops@example.com");
       },
       [&](const Mail& m) {
         EXPECT_THAT(values(m, "Reply-To"), ElementsAre("Desk <desk@example.com>, ops@example.com"));
       }},
      {"a line break in ReplyTo refuses the mail, as in To",
       [](memhost::Element& top) { top.addText("ReplyTo", "desk@example.com\r\nBcc: spy@example.com"); }, nullptr},
  };
  for (const Row& row : rows) {
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
