// The in-memory host under concurrent evaluations: several threads navigate and read their
// own messages, create and delete messages, log and propagate to the same terminals while a
// fault is armed for one of them. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "memhost.h"

namespace {

NodeCallbackTable emptyTable{};

CciContext* noContext(CciFactory*, const CciChar*, CciNode*) { return nullptr; }

std::vector<CciChar> cci(std::string_view utf8) {
  const std::u16string s = memhost::toUtf16(utf8);
  std::vector<CciChar> out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

// What one evaluation does with the host: walk the mail fields and read them, build a copy
// with one element added, propagate it, delete it.
int evaluateOnce(memhost::Message& input, CciTerminal* terminal, int round) {
  int rc = 0;
  int fields = 0;
  CciElement* root = cniRootElement(&rc, input.handle());
  CciElement* top = cniFirstChild(&rc, cniLastChild(&rc, root));
  CciChar buffer[64];
  for (CciElement* e = cniFirstChild(&rc, top); e; e = cniNextSibling(&rc, e)) {
    cniElementName(&rc, e, buffer, 64);
    if (cniElementCharacterValue(&rc, e, buffer, 64) > 0 && rc == 0) ++fields;
    char text[256];
    cciUcsToMbs(&rc, buffer, text, sizeof text, CCI_CODEPAGE_UTF8);
  }
  CciMessage* copy = cniCreateMessage(&rc, cniGetMessageContext(&rc, input.handle()));
  if (!copy) return -1;
  CciElement* copyRoot = cniRootElement(&rc, copy);
  cniCopyElementTree(&rc, root, copyRoot);
  CciElement* added = cniCreateElementAsLastChild(&rc, copyRoot);
  const std::vector<CciChar> value = cci("round " + std::to_string(round));
  cniSetElementCharacterValue(&rc, added, value.data(), static_cast<int>(value.size() - 1));
  if (cniIsTerminalAttached(&rc, terminal)) cniPropagate(&rc, terminal, nullptr, nullptr, copy);
  cciLog(nullptr, CCI_LOG_INFORMATION, "t.cpp", round, "", nullptr, 1, "propagated", nullptr);
  cniDeleteMessage(nullptr, copy);
  return fields;
}

TEST(MemHostThreads, ConcurrentEvaluationsAreIndependent) {
  memhost::Host& host = memhost::Host::instance();
  host.reset();
  int rc = 0;
  CciFactory* factory = cniCreateNodeFactory(&rc, cci("F").data());
  emptyTable.createNodeContext = noContext;
  cniDefineNodeClass(&rc, factory, cci("C").data(), &emptyTable);
  memhost::Node* node = host.createNode("C");
  ASSERT_NE(node, nullptr);
  memhost::Terminal* recorded = node->addTerminal(u"out", false);
  memhost::Terminal* counted = node->addTerminal(u"failure", false);
  std::atomic<int> sunk{0};
  counted->setSink([&](memhost::Message& m, CciMessage*, CciMessage*) {
    if (m.root().lastChild()) sunk.fetch_add(1, std::memory_order_relaxed);
    return 0;
  });

  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  // One message per thread: evaluations of different messages run side by side.
  std::vector<std::unique_ptr<memhost::Message>> inputs;
  for (int t = 0; t < kThreads; ++t) {
    inputs.push_back(host.newMessage());
    memhost::Element& top = inputs.back()->makeStandardShape();
    top.addText("To", "a@b.c");
    top.addText("Subject", "thread " + std::to_string(t));
    top.addText("Body", "ü 東 😀");
  }
  host.injectFault("cniCreateMessage", 100, CCI_EXCEPTION);

  std::atomic<int> fieldsRead{0};
  std::atomic<int> failedCreates{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        CciTerminal* terminal = (round % 2 ? counted : recorded)->handle();
        const int fields = evaluateOnce(*inputs[static_cast<std::size_t>(t)], terminal, round);
        if (fields < 0) {
          failedCreates.fetch_add(1);
        } else {
          fieldsRead.fetch_add(fields);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  constexpr int kTotal = kThreads * kRounds;
  EXPECT_EQ(failedCreates.load(), 1) << "exactly the 100th creation failed";
  EXPECT_EQ(fieldsRead.load(), (kTotal - 1) * 3);
  EXPECT_EQ(host.liveCreatedMessages(), 0u);
  EXPECT_EQ(host.callCount("cniCreateMessage"), static_cast<unsigned>(kTotal));
  EXPECT_EQ(host.logEntries().size(), static_cast<std::size_t>(kTotal - 1));
  EXPECT_EQ(recorded->propagationCount() + static_cast<std::size_t>(sunk.load()),
            static_cast<std::size_t>(kTotal - 1));
  for (const memhost::Propagation& p : recorded->takePropagations()) {
    ASSERT_EQ(p.message->root().children().size(), 4u);
    ASSERT_EQ(p.message->root().lastChild()->text().rfind("round ", 0), 0u);
  }
  host.reset();
}

}  // namespace
