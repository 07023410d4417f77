// A node of the plug-in, made through its registered callback table on the in-memory host,
// pointed at a real SMTP server; and the message shapes the evaluation tests feed it.
#ifndef TESTS_NODE_NODE_FIXTURE_H
#define TESTS_NODE_NODE_FIXTURE_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SendMailPlugIn.h"
#include "memhost.h"
#include "node_internal.h"
#include "smtp_test_server.h"

namespace nodetest {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The descriptor values of the worked example: 7 March 2001, 09:05:03.75, and a 24-byte id.
inline constexpr HostDate kPutDate{2001, 3, 7};
inline constexpr HostTime kPutTime{9, 5, 3.75f};
inline const std::string kMsgIdHex = "0001AB101112131415161718191A1B1C1D1E1F2021222324";

// `text` with CR LF line ends made LF and the trailing line ends dropped: a body as the node
// joined it.
std::string lf(const std::string& text);

class NodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testsupport::SmtpTestServer(); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override;
  void TearDown() override;

  // Sets the attribute through the callback table; fails the test when refused.
  void set(const std::string& name, const std::string& value) { ASSERT_EQ(node_->setAttribute(name, value), 0) << name; }
  NodeContext& context() { return *static_cast<NodeContext*>(node_->context()); }
  // A second node of the class on the same server, with `attributes` set.
  memhost::Node* newNode(const char* label, const std::vector<std::pair<std::string, std::string>>& attributes);

  // root -> "Properties", "TVMD" (when `descriptor`), body folder "XML" -> "Mail"; returns "Mail".
  memhost::Element& shape(memhost::Message& message, bool descriptor = true);
  // A message to `to` with a subject and a one-line body.
  std::unique_ptr<memhost::Message> simpleMail(const std::string& to, const std::string& subject = "Hello");

  // Evaluates on `node` (the fixture's by default) and returns what reached "out" and "failure".
  struct Result {
    std::vector<memhost::Propagation> out, failure;
    std::vector<memhost::LogEntry> log;
  };
  Result evaluate(memhost::Message& message, memhost::Node* node = nullptr);
  // The host operations one evaluation calls, in order; its result into `result` when given.
  std::vector<memhost::HostCall> callsOf(memhost::Message& message, Result* result = nullptr);

  // Mails the server stored since the test began, waiting until there are `n`.
  std::vector<testsupport::ReceivedMail> mailsSinceStart(std::size_t n);

  static inline testsupport::SmtpTestServer* server_ = nullptr;
  memhost::Host& host_ = memhost::Host::instance();
  memhost::Node* node_ = nullptr;
  std::size_t mailsBefore_ = 0;
};

// The value of "SendMailError" in a failure message, or "(none)".
std::string errorOf(const memhost::Message& message);

}  // namespace nodetest

#endif
