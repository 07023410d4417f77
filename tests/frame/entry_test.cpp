// The entry point's three roads (factory made; factory failing with the exception code;
// failing with another code), the node constants it builds, and the callback table it
// registers.
#include <algorithm>
#include <utility>

#include "test_support.h"

using frametest::utf8;

namespace {

class EntryPoint : public frametest::HostTest {};

// Every constant with its literal, in build order.
const std::vector<std::pair<CciChar**, const char*>>& constants() {
  static const std::vector<std::pair<CciChar**, const char*>> all = {
      {&constTalvaneLarnet2, "TVLNv201"}, {&constPlugInNode, "SendMailPlugInNode"},
      {&constPluginNodeFactory, "SendMailPlugInNodeFactory"}, {&constOut, "out"},
      {&constFailure, "failure"}, {&constYes, "yes"}, {&constTVMD, "TVMD"},
      {&constPutDate, "PutDate"}, {&constPutTime, "PutTime"}, {&constMsgId, "MsgId"},
      {&constFrom, "From"}, {&constMailFrom, "MailFrom"}, {&constTo, "To"},
      {&constMailTo, "MailTo"}, {&constCc, "Cc"}, {&constMailCc, "MailCc"}, {&constBcc, "Bcc"},
      {&constMailBcc, "MailBcc"}, {&constSubject, "Subject"}, {&constMailSubject, "MailSubject"},
      {&constBody, "Body"}, {&constMailBody, "MailBody"}, {&constHighest, "Highest"},
      {&constHigh, "High"}, {&constNormal, "Normal"}, {&constLow, "Low"},
      {&constLowest, "Lowest"}, {&constSendMailError, "SendMailError"}};
  return all;
}

std::vector<std::string> operationsAfter(const std::vector<memhost::HostCall>& calls, const std::string& first) {
  std::vector<std::string> out;
  auto it = std::find_if(calls.begin(), calls.end(), [&](const auto& c) { return c.operation == first; });
  for (; it != calls.end(); ++it) out.push_back(it->operation);
  return out;
}

TEST_F(EntryPoint, FactoryMadeDefinesTheClassWithItsTable) {
  host().recordCalls(true);
  CciFactory* factory = tvlGetMessageflowNodeFactory();
  ASSERT_NE(factory, nullptr);

  const std::vector<memhost::HostCall> calls = host().calls();
  EXPECT_EQ(operationsAfter(calls, "cniCreateNodeFactory"),
            (std::vector<std::string>{"cniCreateNodeFactory", "cniDefineNodeClass"}));
  EXPECT_EQ(calls.back().rc, nullptr) << "the class definition passes no return-code location";
  EXPECT_EQ(host().callCount("cciMbsToUcs"), constants().size()) << "one conversion per constant";

  const memhost::NodeClass* nodeClass = host().findClass("SendMailPlugInNode");
  ASSERT_NE(nodeClass, nullptr);
  EXPECT_EQ(nodeClass->factory, factory);
  EXPECT_EQ(memhost::toUtf8(nodeClass->factoryName), "SendMailPlugInNodeFactory");
  const NodeCallbackTable* table = nodeClass->table;
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->createNodeContext, &createNodeContext);
  EXPECT_EQ(table->reserved, nullptr);
  EXPECT_EQ(table->getAttributeName, &getAttributeName);
  EXPECT_EQ(table->setAttribute, &setAttribute);
  EXPECT_EQ(table->getAttribute, &getAttribute);
  EXPECT_EQ(table->evaluate, &evaluate);

  for (const auto& [global, literal] : constants()) {
    ASSERT_NE(*global, nullptr) << literal;
    EXPECT_EQ(utf8(*global), literal);
  }
  EXPECT_EQ(frametest::units(constTVMD), u"TVMD");
  EXPECT_EQ(constTVMD[4], 0);
}

TEST_F(EntryPoint, SecondCallBuildsEqualConstantsAtNewAddresses) {
  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  std::vector<CciChar*> first;
  for (const auto& c : constants()) first.push_back(*c.first);
  const NodeCallbackTable* firstTable = host().findClass("SendMailPlugInNode")->table;

  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  for (std::size_t i = 0; i < first.size(); ++i) {
    const auto& [global, literal] = constants()[i];
    EXPECT_NE(*global, first[i]) << literal;
    EXPECT_EQ(utf8(*global), literal);
    // The earlier set is kept, not released: a node that still holds one reads it intact.
    EXPECT_EQ(utf8(first[i]), literal);
  }
  const NodeCallbackTable* secondTable = host().findClass("SendMailPlugInNode")->table;
  EXPECT_EQ(secondTable, firstTable) << "one table, refilled";
  EXPECT_EQ(secondTable->createNodeContext, &createNodeContext);
  EXPECT_EQ(secondTable->reserved, nullptr);
  EXPECT_EQ(host().factoryCount(), 2u);
}

TEST_F(EntryPoint, FactoryExceptionIsFetchedAndRethrown) {
  host().injectFault("cniCreateNodeFactory", 1, CCI_EXCEPTION);
  host().recordCalls(true);
  EXPECT_EQ(tvlGetMessageflowNodeFactory(), nullptr);

  const std::vector<memhost::HostCall> calls = host().calls();
  EXPECT_EQ(operationsAfter(calls, "cniCreateNodeFactory"),
            (std::vector<std::string>{"cniCreateNodeFactory", "cciGetLastExceptionData",
                                      "cciRethrowLastException"}));
  ASSERT_GE(calls.size(), 3u);
  const int* rc = calls[calls.size() - 3].rc;
  EXPECT_NE(rc, nullptr);
  EXPECT_EQ(calls[calls.size() - 2].rc, rc);
  EXPECT_EQ(calls[calls.size() - 1].rc, rc);
  EXPECT_EQ(host().rethrowCount(), 1u);
  EXPECT_EQ(host().findClass("SendMailPlugInNode"), nullptr);
  EXPECT_EQ(host().callCount("cniDefineNodeClass"), 0u);
}

TEST_F(EntryPoint, FactoryFailingOtherwiseCallsNothingMore) {
  for (const int code : {int{CCI_BUFFER_TOO_SMALL}, 1, 99}) {
    host().reset();
    host().injectFault("cniCreateNodeFactory", 1, code);
    host().recordCalls(true);
    EXPECT_EQ(tvlGetMessageflowNodeFactory(), nullptr) << code;
    EXPECT_EQ(operationsAfter(host().calls(), "cniCreateNodeFactory"),
              std::vector<std::string>{"cniCreateNodeFactory"})
        << code;
    EXPECT_EQ(host().rethrowCount(), 0u);
    EXPECT_EQ(host().findClass("SendMailPlugInNode"), nullptr);
  }
}

}  // namespace
