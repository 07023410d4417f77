// The evaluation tests' node: entry point, node instance through the callback table, server.
#include "node_fixture.h"

namespace nodetest {

std::string lf(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text.compare(i, 2, "\r\n") != 0) out += text[i];
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void NodeTest::SetUp() {
  host_.reset();
  host_.setContextReleaser([](CciContext* c) { deleteNodeContext(c); });
  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  node_ = newNode("SendMailPlugInNode", {});
  mailsBefore_ = server_->mails().size();
}

void NodeTest::TearDown() {
  EXPECT_EQ(host_.liveCreatedMessages(), 0u) << "a failure message was not deleted";
  server_->allowDefects(false);  // even when the test stopped before it could say so
  host_.reset();
}

memhost::Node* NodeTest::newNode(const char* label, const std::vector<std::pair<std::string, std::string>>& attributes) {
  memhost::Node* node = host_.createNode("SendMailPlugInNode", label);
  EXPECT_NE(node, nullptr);
  if (node == nullptr) return nullptr;
  EXPECT_EQ(node->setAttribute("ServerName", "127.0.0.1"), 0);
  EXPECT_EQ(node->setAttribute("ServerPort", std::to_string(server_->port())), 0);
  for (const auto& [name, value] : attributes) EXPECT_EQ(node->setAttribute(name, value), 0) << name;
  return node;
}

memhost::Element& NodeTest::shape(memhost::Message& message, bool descriptor) {
  memhost::Element& root = message.root();
  root.addChild("Properties");
  if (descriptor) {
    memhost::Element& tvmd = root.addChild("TVMD");
    tvmd.addDate("PutDate", kPutDate);
    tvmd.addTime("PutTime", kPutTime);
    std::vector<uint8_t> id;
    for (std::size_t i = 0; i < kMsgIdHex.size(); i += 2) id.push_back(std::stoi(kMsgIdHex.substr(i, 2), nullptr, 16));
    tvmd.addBytes("MsgId", id);
  }
  return root.addChild("XML").addChild("Mail");
}

std::unique_ptr<memhost::Message> NodeTest::simpleMail(const std::string& to, const std::string& subject) {
  auto message = host_.newMessage();
  memhost::Element& top = shape(*message);
  top.addText("To", to);
  top.addText("Subject", subject);
  top.addText("Body", "Hello there.");
  return message;
}

NodeTest::Result NodeTest::evaluate(memhost::Message& message, memhost::Node* node) {
  if (node == nullptr) node = node_;
  host_.clearLog();
  node->evaluate(message);
  const auto taken = [node](const char* name) {
    memhost::Terminal* terminal = node->terminal(name);  // none when the host failed to make it
    return terminal ? terminal->takePropagations() : std::vector<memhost::Propagation>{};
  };
  return {taken("out"), taken("failure"), host_.logEntries()};
}

std::vector<memhost::HostCall> NodeTest::callsOf(memhost::Message& message, Result* result) {
  host_.recordCalls(true);
  Result r = evaluate(message);
  if (result != nullptr) *result = std::move(r);
  host_.recordCalls(false);
  return host_.calls();
}

std::vector<testsupport::ReceivedMail> NodeTest::mailsSinceStart(std::size_t n) {
  std::vector<testsupport::ReceivedMail> all = server_->waitForMails(mailsBefore_ + n);
  if (all.size() < mailsBefore_) return {};
  return {all.begin() + static_cast<std::ptrdiff_t>(mailsBefore_), all.end()};
}

std::string errorOf(const memhost::Message& message) {
  // root -> body folder (last child) -> top element (last child) -> "SendMailError" -> value
  const memhost::Element* parent = &message.root();
  for (int depth = 0; depth < 3 && parent != nullptr; parent = parent->lastChild(), ++depth)
    for (const auto& child : parent->children())
      if (child->nameUtf8() == "SendMailError") return child->firstChild() ? child->firstChild()->text() : "(empty)";
  return "(none)";
}

}  // namespace nodetest
