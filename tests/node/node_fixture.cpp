// The evaluation tests' node: entry point, node instance through the callback table, server.
#include "node_fixture.h"

#include <cstdio>

namespace nodetest {

testsupport::SmtpTestServer* NodeTest::server_ = nullptr;

std::vector<uint8_t> sampleMsgId() {
  std::vector<uint8_t> id = {0x00, 0x01, 0xAB};
  for (uint8_t b = 0x10; id.size() < 24; ++b) id.push_back(b);
  return id;
}

std::string sampleMsgIdHex() {
  std::string hex;
  for (uint8_t b : sampleMsgId()) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    hex += two;
  }
  return hex;
}

void NodeTest::SetUpTestSuite() { server_ = new testsupport::SmtpTestServer(); }

void NodeTest::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
}

void NodeTest::SetUp() {
  host_.reset();
  host_.setContextReleaser([](CciContext* c) { deleteNodeContext(c); });
  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  node_ = host_.createNode("SendMailPlugInNode");
  ASSERT_NE(node_, nullptr);
  ASSERT_NE(node_->context(), nullptr);
  set("ServerName", "127.0.0.1");
  set("ServerPort", std::to_string(server_->port()));
  mailsBefore_ = server_->mails().size();
}

void NodeTest::TearDown() {
  EXPECT_EQ(host_.liveCreatedMessages(), 0u) << "a failure message was not deleted";
  server_->allowDefects(false);  // even when the test stopped before it could say so
  host_.reset();
}

void NodeTest::set(const std::string& name, const std::string& value) {
  ASSERT_EQ(node_->setAttribute(name, value), 0) << name;
}

memhost::Element& NodeTest::shape(memhost::Message& message, bool descriptor) {
  memhost::Element& root = message.root();
  root.addChild("Properties");
  if (descriptor) {
    memhost::Element& tvmd = root.addChild("TVMD");
    tvmd.addDate("PutDate", kPutDate);
    tvmd.addTime("PutTime", kPutTime);
    tvmd.addBytes("MsgId", sampleMsgId());
  }
  return root.addChild("XML").addChild("Mail");
}

std::unique_ptr<memhost::Message> NodeTest::workedExample() {
  auto message = host_.newMessage();
  memhost::Element& top = shape(*message);
  top.addText("To", "ann");
  top.addText("To", "bob");
  top.addText("Cc", "carl");
  top.addText("Subject", "Test");
  memhost::Element& body = top.addChild("Body");
  body.addText("Line", "one");
  body.addText("Line", "two");
  return message;
}

std::unique_ptr<memhost::Message> NodeTest::simpleMail(const std::string& to, const std::string& subject) {
  auto message = host_.newMessage();
  memhost::Element& top = shape(*message);
  top.addText("To", to);
  top.addText("Subject", subject);
  top.addText("Body", "Hello there.");
  return message;
}

NodeTest::Result NodeTest::evaluate(memhost::Message& message) {
  host_.clearLog();
  node_->evaluate(message);
  Result result;
  result.out = node_->terminal("out")->takePropagations();
  result.failure = node_->terminal("failure")->takePropagations();
  result.log = host_.logEntries();
  return result;
}

std::vector<testsupport::ReceivedMail> NodeTest::mailsSinceStart(std::size_t n) {
  std::vector<testsupport::ReceivedMail> all = server_->waitForMails(mailsBefore_ + n);
  if (all.size() < mailsBefore_) return {};
  return {all.begin() + static_cast<std::ptrdiff_t>(mailsBefore_), all.end()};
}

std::string errorOf(const memhost::Message& message) {
  // root -> body folder (last child) -> top element (last child) -> "SendMailError" -> value
  const memhost::Element* parent = &message.root();
  for (int depth = 0; depth < 3 && parent != nullptr; ++depth) {
    for (const auto& child : parent->children()) {
      if (child->nameUtf8() == "SendMailError") {
        return child->firstChild() != nullptr ? child->firstChild()->text() : std::string("(empty)");
      }
    }
    parent = parent->lastChild();
  }
  return "(none)";
}

}  // namespace nodetest
