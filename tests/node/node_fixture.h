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

// The descriptor values of the worked example: 7 March 2001, 09:05:03.75.
inline constexpr HostDate kPutDate{2001, 3, 7};
inline constexpr HostTime kPutTime{9, 5, 3.75f};
std::vector<uint8_t> sampleMsgId();  // 24 bytes: 00 01 AB, then 21 more counting up from 0x10
std::string sampleMsgIdHex();

class NodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Sets the attribute through the callback table; fails the test when refused.
  void set(const std::string& name, const std::string& value);
  NodeContext& context() { return *static_cast<NodeContext*>(node_->context()); }

  // root -> "Properties", "TVMD" (when `descriptor`), body folder "XML" -> "Mail"; returns "Mail".
  memhost::Element& shape(memhost::Message& message, bool descriptor = true);
  // The message of the worked example: To ann, To bob, Cc carl, Subject Test, Body lines one, two.
  std::unique_ptr<memhost::Message> workedExample();
  // A message to `to` with a subject and a one-line body.
  std::unique_ptr<memhost::Message> simpleMail(const std::string& to, const std::string& subject = "Hello");

  // Evaluates and returns what reached "out" and "failure".
  struct Result {
    std::vector<memhost::Propagation> out;
    std::vector<memhost::Propagation> failure;
    std::vector<memhost::LogEntry> log;
  };
  Result evaluate(memhost::Message& message);

  // Mails the server stored since the test began, waiting until there are `n`.
  std::vector<testsupport::ReceivedMail> mailsSinceStart(std::size_t n);

  static testsupport::SmtpTestServer* server_;
  memhost::Host& host_ = memhost::Host::instance();
  memhost::Node* node_ = nullptr;
  std::size_t mailsBefore_ = 0;
};

// The value of "SendMailError" in a failure message, or "(none)".
std::string errorOf(const memhost::Message& message);

}  // namespace nodetest

#endif
