// Mails sent from several threads at once all arrive intact, and each thread's result text is
// its own: a failure text handed out on one thread is not overwritten by another thread's mail.
// (Four threads sharing one node's TLS context are in the secure-submission table.)
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "SendMessage.h"
#include "smtp_test_server.h"

TEST(Threaded, ConcurrentMailsArriveIntactWithTheirOwnResultTexts) {
  constexpr int kThreads = 4, kMails = 8;
  testsupport::SmtpTestServer server;
  std::vector<std::thread> threads;
  const auto send = [&](const std::string& to, const std::string& subject, const std::string& body, int32_t& code) {
    return SendEmailMessage("127.0.0.1", server.port(), "s@example.com", to.c_str(), "", "", subject.c_str(),
                            "06 Dec 2026 12:00:00 GMT", "", body.c_str(), 3, &code);
  };
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kMails; ++i) {
        const std::string tag = std::to_string(t) + "-" + std::to_string(i);
        int32_t code = -5;
        EXPECT_STREQ(send("t" + std::to_string(t) + "@example.com", "mail " + tag,
                          "body of " + tag + "\n" + std::string(i * 5000, 'b'), code), "");
        EXPECT_EQ(code, 0);
        // A refusal: its text must survive the other threads' mails until this thread's next call.
        const char* refusal = send("refuse452@example.com", "x", "b", code);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(code, 1008);
        EXPECT_STREQ(refusal, "452 refused by trigger\r\n");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto mails = server.waitForMails(kThreads * kMails);
  ASSERT_EQ(mails.size(), static_cast<std::size_t>(kThreads * kMails));
  std::set<std::string> subjects;
  for (const auto& m : mails) {
    subjects.insert(m.subject);
    const std::string tag = m.subject.substr(5);
    EXPECT_EQ(m.rcptTos, std::vector<std::string>{"t" + tag.substr(0, tag.find('-')) + "@example.com"});
    EXPECT_EQ(m.body, "body of " + tag + "\r\n" + std::string(std::stoi(tag.substr(tag.find('-') + 1)) * 5000, 'b') + "\r\n\r\n");
  }
  EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kThreads * kMails));
}
