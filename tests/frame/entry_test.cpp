// The entry point's three roads (factory made; factory failing with the exception code;
// failing with another code), the callback table it registers, and the node constants it
// builds once per process.
#include <algorithm>

#include "test_support.h"

namespace {

class EntryPoint : public frametest::HostTest {};

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

  const memhost::NodeClass* nodeClass = host().findClass("SendMailPlugInNode");
  ASSERT_NE(nodeClass, nullptr);
  EXPECT_EQ(nodeClass->factory, factory);
  EXPECT_EQ(memhost::toUtf8(nodeClass->factoryName), "SendMailPlugInNodeFactory");
  EXPECT_EQ(nodeClass->table->reserved, nullptr);
}

// A host that calls the entry point again gets the same constants: no new set per call.
TEST_F(EntryPoint, SecondCallKeepsTheConstants) {
  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  const CciChar* tvmd = constTVMD;
  const CciChar* error = constSendMailError;
  const unsigned conversions = host().callCount("cciMbsToUcs");
  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  EXPECT_EQ(constTVMD, tvmd);
  EXPECT_EQ(constSendMailError, error);
  EXPECT_EQ(frametest::units(constTVMD), u"TVMD");
  EXPECT_EQ(host().callCount("cciMbsToUcs"), conversions) << "constants built again";
  EXPECT_EQ(host().factoryCount(), 2u);
}

// cniCreateNodeFactory failing: with the exception code the node fetches and re-raises it on
// the same return-code location; with any other code it calls nothing more.
TEST_F(EntryPoint, FactoryFailing) {
  const struct {
    int code;
    std::vector<std::string> calls;
  } rows[] = {{CCI_EXCEPTION, {"cniCreateNodeFactory", "cciGetLastExceptionData", "cciRethrowLastException"}},
              {CCI_BUFFER_TOO_SMALL, {"cniCreateNodeFactory"}}, {99, {"cniCreateNodeFactory"}}};
  for (const auto& row : rows) {
    host().reset();
    host().injectFault("cniCreateNodeFactory", 1, row.code);
    host().recordCalls(true);
    EXPECT_EQ(tvlGetMessageflowNodeFactory(), nullptr) << row.code;
    const std::vector<memhost::HostCall> calls = host().calls();
    EXPECT_EQ(operationsAfter(calls, "cniCreateNodeFactory"), row.calls) << row.code;
    for (std::size_t i = calls.size() - row.calls.size(); i < calls.size(); ++i)
      EXPECT_EQ(calls[i].rc, calls[calls.size() - row.calls.size()].rc) << row.code;
    EXPECT_NE(calls.back().rc, nullptr) << row.code;
    EXPECT_EQ(host().rethrowCount(), row.calls.size() == 3 ? 1u : 0u) << row.code;
    EXPECT_EQ(host().findClass("SendMailPlugInNode"), nullptr) << row.code;
  }
}

}  // namespace
