// Every host call of an evaluation, made to fail in turn with "buffer too small", the host's
// exception code and another code: the outcome follows the return-code rule, nothing is
// propagated where it must not be, and nothing leaks on any road (the suite also runs under
// AddressSanitizer).
#include <map>
#include <set>

#include "node_fixture.h"

namespace nodetest {
namespace {

// Calls whose failure ends the evaluation (before the propagation step) wherever they occur.
const std::set<std::string> kAlwaysChecked = {
    "cniRootElement",     "cniLastChild",      "cniElementName",
    "cniCreateMessage",   "cniCopyElementTree", "cniCreateElementAsLastChild",
    "cniSetElementType",  "cniSetElementName", "cniSetElementCharacterValue",
    // A value read that fails ends it too; an injected 22 names no larger size to retry with.
    "cniElementCharacterValue",
};

struct Road {
  const char* name;
  std::string to;  // a refused recipient takes the failure road
};

TEST_F(NodeTest, EveryHostCallFailingFollowsTheReturnCodeRule) {
  set("SMTPFrom", "alerts@example.com");
  for (const Road& road : {Road{"out", "ann@example.com"}, Road{"failure", "refuse550@example.com"}}) {
    SCOPED_TRACE(std::string("road ") + road.name);
    auto message = simpleMail(road.to);
    memhost::Element& body = *message->root().lastChild()->lastChild()->child("Body");
    body.setText(std::string(1500, 'b'));  // longer than the first value buffer: a second read

    // The calls of one clean evaluation, settings already loaded.
    evaluate(*message);
    Result clean;
    std::vector<memhost::HostCall> calls = callsOf(*message, &clean);
    ASSERT_EQ((std::string(road.name) == "out" ? clean.out : clean.failure).size(), 1u);

    std::map<std::string, unsigned> seen;
    for (const memhost::HostCall& call : calls) {
      unsigned nth = ++seen[call.operation];
      if (call.operation == "cciLog" || call.operation == "cniDeleteMessage") continue;
      // A host may fail a call instead of doing its work, or do the work (hand out a new
      // message, say) and still report the error: nothing it handed out may leak either way.
      for (const auto mode : {memhost::FaultMode::Instead, memhost::FaultMode::AfterWork})
      for (int code : {22, 64, 7}) {
        // "Too small" after a read that did its work is a true answer the retry handles.
        if (mode == memhost::FaultMode::AfterWork && code == 22) continue;
        SCOPED_TRACE(call.operation + " call " + std::to_string(nth) + " fails with " + std::to_string(code) +
                     (mode == memhost::FaultMode::Instead ? " instead of its work" : " after its work"));
        std::size_t rethrows = host_.rethrowCount();
        host_.injectFault(call.operation, nth, code, mode);
        Result r = evaluate(*message);
        host_.clearFaults();

        std::size_t propagated = r.out.size() + r.failure.size();
        EXPECT_LE(propagated, 1u);
        EXPECT_EQ(host_.liveCreatedMessages(), 0u);
        bool checked = kAlwaysChecked.count(call.operation) > 0;
        if (checked && code != 64) {
          EXPECT_EQ(propagated, 0u) << "a host error ends the evaluation";
          EXPECT_TRUE(r.log.empty()) << "and nothing is logged";
        }
        if (checked && code == 64) {
          EXPECT_GT(host_.rethrowCount(), rethrows) << "the exception is re-raised";
        }
        if (call.operation == "cniElementDateValue" || call.operation == "cniElementGmtTimeValue" ||
            call.operation == "cniElementByteArrayValue") {
          EXPECT_EQ(propagated, 1u) << "an unreadable descriptor value only changes the date";
        }
        if (call.operation == "cniPropagate") {
          ASSERT_EQ(r.log.size(), 1u);
          EXPECT_EQ(r.log[0].inserts.at(0), "Propagate failed");
        }
      }
    }
    EXPECT_GE(seen["cniElementCharacterValue"], 3u);
  }
}

// The first read of the long body answers 22 and the node reads again into a larger buffer; a
// "too small" naming a count the buffer holds is read once more; a second 22 ends the evaluation.
TEST_F(NodeTest, BufferTooSmallIsAnsweredWithOneRetry) {
  auto message = simpleMail("ann@example.com");
  message->root().lastChild()->lastChild()->child("Body")->setText(std::string(5000, 'x'));
  unsigned reads = 0;  // the body is the last field: its retry is the last read
  for (const auto& call : callsOf(*message)) reads += call.operation == "cniElementCharacterValue";
  ASSERT_GE(reads, 2u);
  auto mails = mailsSinceStart(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_THAT(mails[0].body, HasSubstr(std::string(5000, 'x')));

  host_.injectFault("cniElementCharacterValue", 1, 22, memhost::FaultMode::AfterWork);
  EXPECT_EQ(evaluate(*message).out.size(), 1u);
  host_.clearFaults();
  host_.injectFault("cniElementCharacterValue", reads, 22);
  Result r = evaluate(*message);
  EXPECT_TRUE(r.out.empty() && r.failure.empty() && r.log.empty());
}

}  // namespace
}  // namespace nodetest
