// A node of the plug-in, made through its registered callback table on the in-memory host,
// pointed at a real SMTP server; the message shapes the evaluation tests feed it, and what one
// evaluation sent on, logged and delivered.
#ifndef TESTS_NODE_NODE_FIXTURE_H
#define TESTS_NODE_NODE_FIXTURE_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "SendMailPlugIn.h"
#include "memhost.h"
#include "node_context.h"
#include "smtp_test_server.h"

namespace nodetest {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Fields = std::vector<std::pair<std::string, std::string>>;
using Mail = testsupport::ReceivedMail;

// The id of the descriptor of every mail(), 24 bytes.
inline const std::string kMsgIdHex = "0001AB101112131415161718191A1B1C1D1E1F2021222324";

// `text` with CR LF line ends made LF and the trailing line ends dropped: a body as the node
// joined it.
inline std::string lf(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text.compare(i, 2, "\r\n") != 0) out += text[i];
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The body's top element: the last child of the last child of the root.
inline memhost::Element& top(memhost::Message& message) { return *message.root().lastChild()->lastChild(); }

// Appends a folder `name` to `parent`, with text children made of `children`.
inline memhost::Element& folder(memhost::Element& parent, const char* name, const Fields& children) {
  memhost::Element& added = parent.addChild(name);
  for (const auto& [child, value] : children) added.addText(child, value);
  return added;
}

// What one evaluation propagated and logged.
struct Result {
  std::vector<memhost::Propagation> out, failure;
  std::vector<memhost::LogEntry> log;
  std::vector<memhost::HostCall> calls;
  // The value of "SendMailError" in the one failure message (the node puts it at most three
  // levels down), or why there is none.
  std::string error() const {
    if (failure.size() != 1) return std::to_string(failure.size()) + " failure messages";
    const memhost::Element* parent = &failure[0].message->root();
    for (int depth = 0; depth < 3 && parent != nullptr; parent = parent->lastChild(), ++depth)
      for (const auto& child : parent->children())
        if (child->nameUtf8() == "SendMailError") return child->firstChild() ? child->firstChild()->text() : "(empty)";
    return "(no SendMailError)";
  }
  // Each log entry as "type line insert...", joined by "; ".
  std::string logged() const {
    std::string out;
    for (const memhost::LogEntry& e : log) {
      out += (out.empty() ? "" : "; ") + std::to_string(e.type) + " " + std::to_string(e.line);
      for (const std::string& insert : e.inserts) out += " " + insert;
    }
    return out;
  }
  // The operations called after the first call of `operation`.
  std::vector<std::string> after(const std::string& operation) const {
    auto call = std::find_if(calls.begin(), calls.end(), [&](const auto& c) { return c.operation == operation; });
    std::vector<std::string> out;
    while (call != calls.end() && ++call != calls.end()) out.push_back(call->operation);
    return out;
  }
};

class NodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testsupport::SmtpTestServer(); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override {
    host_.reset();
    host_.setContextReleaser([](CciContext* c) { deleteNodeContext(c); });
    ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
    node_ = newNode("SendMailPlugInNode", {});
    mailsBefore_ = server_->mails().size();
  }
  void TearDown() override {
    EXPECT_EQ(host_.liveCreatedMessages(), 0u) << "a failure message was not deleted";
    server_->allowDefects(false);  // even when the test stopped before it could say so
    host_.reset();
  }

  // A node of the class on the test's server, with `attributes` set (each must be accepted).
  memhost::Node* newNode(const char* label, const Fields& attributes) {
    memhost::Node* node = host_.createNode("SendMailPlugInNode", label);
    EXPECT_NE(node, nullptr);
    if (node == nullptr) return nullptr;
    EXPECT_EQ(node->setAttribute("ServerName", "127.0.0.1"), 0);
    EXPECT_EQ(node->setAttribute("ServerPort", std::to_string(server_->port())), 0);
    for (const auto& [name, value] : attributes) EXPECT_EQ(node->setAttribute(name, value), 0) << name;
    return node;
  }

  // root -> "Properties", "TVMD" (put on 7 March 2001 at 09:05:03.75, the id above), body folder
  // "XML" -> "Mail", whose children are text elements made of `fields`.
  std::unique_ptr<memhost::Message> mail(const Fields& fields) {
    auto message = host_.newMessage();
    memhost::Element& mailTop = message->makeStandardShape();
    for (const auto& [name, value] : fields) mailTop.addText(name, value);
    memhost::Element& tvmd = *message->root().child("TVMD");
    tvmd.addDate("PutDate", {2001, 3, 7});
    tvmd.addTime("PutTime", {9, 5, 3.75f});
    std::vector<uint8_t> id;
    for (std::size_t i = 0; i < kMsgIdHex.size(); i += 2) id.push_back(std::stoi(kMsgIdHex.substr(i, 2), nullptr, 16));
    tvmd.addBytes("MsgId", id);
    return message;
  }
  // A message to `to` with a subject and a one-line body.
  std::unique_ptr<memhost::Message> simpleMail(const std::string& to) {
    return mail({{"To", to}, {"Subject", "Hello"}, {"Body", "Hello there."}});
  }

  // Evaluates on `node` (the fixture's by default): what reached "out" and "failure", the log
  // and the host operations called, in order.
  Result evaluate(memhost::Message& message, memhost::Node* node = nullptr) {
    if (node == nullptr) node = node_;
    host_.clearLog();
    host_.recordCalls(true);
    node->evaluate(message);
    host_.recordCalls(false);
    const auto taken = [node](const char* name) {
      memhost::Terminal* terminal = node->terminal(name);  // none when the host failed to make it
      return terminal ? terminal->takePropagations() : std::vector<memhost::Propagation>{};
    };
    return {taken("out"), taken("failure"), host_.logEntries(), host_.calls()};
  }

  // The next mail the server stored during this test, waiting for it; a test failure (and an
  // empty mail) when none comes.
  Mail nextMail() {
    std::vector<Mail> all = server_->waitForMails(mailsBefore_ + 1);
    if (all.size() <= mailsBefore_) {
      ADD_FAILURE() << "no mail arrived";
      return {};
    }
    return all[mailsBefore_++];
  }

  static inline testsupport::SmtpTestServer* server_ = nullptr;
  memhost::Host& host_ = memhost::Host::instance();
  memhost::Node* node_ = nullptr;
  std::size_t mailsBefore_ = 0;
};

}  // namespace nodetest

#endif
