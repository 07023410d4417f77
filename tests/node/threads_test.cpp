// Several threads evaluating messages on one node at once, as a broker's additional instances
// do: the settings load runs once, every message leaves through exactly one terminal, and the
// server holds exactly the mails that went to "out".
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "node_fixture.h"

namespace nodetest {
namespace {

TEST_F(NodeTest, FourThreadsOnOneNode) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  set("SMTPFrom", "alerts@example.com");
  set("SMTPFullFrom", "Alert Service");
  set("SetPriority", "yes");
  set("Priority", "High");

  // Each message says which it is in its subject; every tenth is refused by the server.
  std::mutex mutex;
  std::map<std::string, std::string> terminalOf;
  std::atomic<int> duplicates{0};
  for (const char* name : {"out", "failure"}) {
    node_->terminal(name)->setSink([&, name](memhost::Message& m, CciMessage*, CciMessage*) {
      memhost::Element* top = m.root().lastChild()->firstChild();
      std::string subject = top->child("Subject")->text();
      std::lock_guard<std::mutex> lock(mutex);
      if (!terminalOf.emplace(subject, name).second) ++duplicates;
      return 0;
    });
  }

  // How many evaluations were in progress at once: the threads must really overlap.
  std::atomic<int> inFlight{0};
  std::atomic<int> mostInFlight{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string subject = "t" + std::to_string(t) + "-m" + std::to_string(i);
        auto message = simpleMail(i % 10 == 9 ? "refuse550@example.com" : "ann@example.com", subject);
        const int now = ++inFlight;
        for (int seen = mostInFlight; now > seen && !mostInFlight.compare_exchange_weak(seen, now);) {
        }
        node_->evaluate(*message);
        --inFlight;
      }
    });
  }
  for (auto& t : threads) t.join();

  EXPECT_GE(mostInFlight.load(), 2) << "the evaluations never overlapped";
  EXPECT_EQ(duplicates.load(), 0);
  ASSERT_EQ(terminalOf.size(), static_cast<std::size_t>(kThreads * kPerThread)) << "every message left once";
  std::set<std::string> out;
  for (const auto& [subject, terminal] : terminalOf) {
    bool refused = subject.substr(subject.find("-m") + 2).back() == '9';
    EXPECT_EQ(terminal, refused ? "failure" : "out") << subject;
    if (terminal == "out") out.insert(subject);
  }

  auto mails = mailsSinceStart(out.size());
  ASSERT_EQ(mails.size(), out.size());
  std::set<std::string> stored;
  for (const auto& m : mails) {
    EXPECT_TRUE(stored.insert(m.subject).second) << "stored twice: " << m.subject;
    EXPECT_EQ(m.from, "Alert Service <alerts@example.com>");
    EXPECT_NE(m.data.find("X-Priority: 2 (High  )\r\n"), std::string::npos);
  }
  EXPECT_EQ(stored, out);
}

}  // namespace
}  // namespace nodetest
