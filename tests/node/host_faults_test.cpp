// Every host call of an evaluation, made to fail in turn with "buffer too small", the host's
// exception code and another code: the outcome follows the return-code rule, nothing is
// propagated where it must not be, and nothing leaks on any road (the suite also runs under
// AddressSanitizer). A "too small" that names a count the buffer holds is read once more.
#include <map>
#include <set>

#include "node_fixture.h"

namespace nodetest {
namespace {

// Calls whose failure ends the evaluation (before the propagation step) wherever they occur.
// A value read that fails ends it too; an injected 22 names no larger size to retry with.
const std::set<std::string> kAlwaysChecked = {
    "cniRootElement", "cniLastChild", "cniElementName", "cniCreateMessage", "cniCopyElementTree",
    "cniCreateElementAsLastChild", "cniSetElementType", "cniSetElementName", "cniSetElementCharacterValue",
    "cniElementCharacterValue"};

TEST_F(NodeTest, EveryHostCallFailingFollowsTheReturnCodeRule) {
  node_ = newNode("faults", {{"SMTPFrom", "alerts@example.com"}});
  // A refused recipient takes the failure road.
  for (const bool out : {true, false}) {
    SCOPED_TRACE(out ? "road out" : "road failure");
    auto message = simpleMail(out ? "ann@example.com" : "refuse550@example.com");
    top(*message).child("Body")->setText(std::string(1500, 'b'));  // longer than the first value buffer: a second read

    // The calls of one clean evaluation, settings already loaded.
    evaluate(*message);
    const Result clean = evaluate(*message);
    ASSERT_EQ((out ? clean.out : clean.failure).size(), 1u);

    std::map<std::string, unsigned> seen;
    for (std::size_t i = 0; i < clean.calls.size(); ++i) {
      const memhost::HostCall& call = clean.calls[i];
      const unsigned nth = ++seen[call.operation];
      // A read right after a read is the retry of a "too small"; a second one ends the evaluation.
      const bool secondRead = i > 0 && clean.calls[i - 1].operation == call.operation;
      if (call.operation == "cciLog" || call.operation == "cniDeleteMessage") continue;
      // A host may fail a call instead of doing its work, or do the work (hand out a new
      // message, say) and still report the error: nothing it handed out may leak either way.
      for (const auto mode : {memhost::FaultMode::Instead, memhost::FaultMode::AfterWork})
      for (int code : {22, 64, 7}) {
        // "Too small" after a read that did its work is a true answer the retry handles; after
        // any other call it is not one of the answers that call gives.
        const bool retried = mode == memhost::FaultMode::AfterWork && code == 22;
        if (retried && call.operation != "cniElementCharacterValue") continue;
        SCOPED_TRACE(call.operation + " call " + std::to_string(nth) + " fails with " + std::to_string(code) +
                     (mode == memhost::FaultMode::Instead ? " instead of its work" : " after its work"));
        const std::size_t rethrows = host_.rethrowCount();
        host_.injectFault(call.operation, nth, code, mode);
        Result r = evaluate(*message);
        host_.clearFaults();

        const std::size_t propagated = r.out.size() + r.failure.size();
        EXPECT_LE(propagated, 1u);
        EXPECT_EQ(host_.liveCreatedMessages(), 0u);
        if (retried && !secondRead) {
          EXPECT_EQ((out ? r.out : r.failure).size(), 1u) << "the road it takes without the fault";
          continue;
        }
        const bool checked = kAlwaysChecked.count(call.operation) > 0;
        if (checked && code != 64) { EXPECT_TRUE(propagated == 0 && r.log.empty()) << "a host error ends the evaluation"; }
        if (checked && code == 64) { EXPECT_GT(host_.rethrowCount(), rethrows) << "the exception is re-raised"; }
        if (call.operation == "cniElementDateValue" || call.operation == "cniElementGmtTimeValue" ||
            call.operation == "cniElementByteArrayValue") {
          EXPECT_EQ(propagated, 1u) << "an unreadable descriptor value only changes the date";
        }
        if (call.operation == "cniPropagate") {  // the exception's data is fetched before it is re-raised
          std::vector<std::string> then = {"cciLog"};
          if (code == 64) then.insert(then.begin(), {"cciGetLastExceptionData", "cciRethrowLastException"});
          if (!out) then.push_back("cniDeleteMessage");
          EXPECT_EQ(r.after(call.operation), then);
          EXPECT_EQ(r.logged(), "0 1628 Propagate failed");
        }
        if (call.operation == "cniIsTerminalAttached" && mode == memhost::FaultMode::AfterWork) {
          // It answered "attached" and failed: the exception is re-raised, another code logged.
          EXPECT_EQ(r.logged(), code == 64 ? "" : "0 1651 Error occurred");
          EXPECT_EQ(host_.rethrowCount() - rethrows, code == 64 ? 1u : 0u);
        }
      }
    }
    EXPECT_GE(seen["cniElementCharacterValue"], 4u);
  }
}

}  // namespace
}  // namespace nodetest
