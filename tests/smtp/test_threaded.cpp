// Mails sent from several threads at once all arrive intact, and each thread's result text is
// its own: a failure text handed out on one thread is not overwritten by another thread's mail.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "SendMessage.h"
#include "smtp_test_server.h"
#include "smtp_test_util.h"

namespace {
constexpr int kThreads = 4;

// Runs `mail(t, i)` for mails 0..count-1 on each of kThreads threads at once; each thread counts
// the calls that returned false. Expects none, and returns what the server then recorded.
template <typename Mail>
std::vector<testsupport::ReceivedMail> onThreads(testsupport::SmtpTestServer& server, int count, Mail mail) {
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < count; ++i) failures[static_cast<std::size_t>(t)] += mail(t, i) ? 0 : 1;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  const auto mails = server.waitForMails(static_cast<std::size_t>(kThreads * count));
  EXPECT_EQ(mails.size(), static_cast<std::size_t>(kThreads * count));
  return mails;
}
}  // namespace

TEST(Threaded, ConcurrentMailsArriveIntactWithTheirOwnResultTexts) {
  testsupport::SmtpTestServer server;
  constexpr int kMails = 8;
  const auto mails = onThreads(server, kMails, [&](int t, int i) {
    const std::string tag = std::to_string(t) + "-" + std::to_string(i);
    smtptest::Mail mail;
    mail.subject = "mail " + tag;
    mail.body = "body of " + tag + "\n" + std::string(static_cast<std::size_t>(i) * 5000, 'b');
    mail.to = std::string("t").append(std::to_string(t)).append("@example.com");
    int32_t code = -5;
    const char* text = SendEmailMessage("127.0.0.1", server.port(), mail.from.c_str(),
                                        mail.to.c_str(), "", "", mail.subject.c_str(),
                                        mail.date.c_str(), "", mail.body.c_str(), 3, &code);
    const bool sent = code == 0 && std::string(text).empty();
    // A refusal: its text must survive the other threads' mails until this thread's next call.
    const char* refusal = SendEmailMessage("127.0.0.1", server.port(), mail.from.c_str(),
                                           "refuse452@example.com", "", "", "x", "d", "", "b",
                                           3, &code);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return sent && code == 1008 && std::string(refusal) == "452 refused by trigger\r\n";
  });
  std::set<std::string> subjects;
  for (const auto& m : mails) {
    subjects.insert(m.subject);
    const std::string tag = m.subject.substr(5);
    const std::string rcpt = std::string("t").append(tag.substr(0, tag.find('-'))).append("@example.com");
    EXPECT_EQ(m.rcptTos, std::vector<std::string>{rcpt});
    const int i = std::stoi(tag.substr(tag.find('-') + 1));
    EXPECT_EQ(m.body, "body of " + tag + "\r\n" + std::string(static_cast<std::size_t>(i) * 5000, 'b') +
                          "\r\n\r\n");
  }
  EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kThreads * kMails));
}

// One node's TLS context shared by four threads, each sending over STARTTLS with AUTH.
TEST(Threaded, FourThreadsOverStartTlsShareOneContext) {
  const testsupport::TestCertificates certs;
  std::vector<std::string> options = certs.serverOptions();
  options.insert(options.end(), {"--auth", "ann:pw"});
  testsupport::SmtpTestServer server(options);
  const auto settings = smtptest::settingsOf(
      {{"Security", "starttls"}, {"TLSCAFile", certs.ca()}, {"SMTPUser", "ann"}, {"SMTPPassword", "pw"}});
  const auto mails = onThreads(server, 3, [&](int t, int i) {
    smtptest::Mail mail;
    mail.subject = "tls " + std::to_string(t) + "-" + std::to_string(i);
    return smtptest::send(*settings, server.port(), mail, "localhost").code == 0;
  });
  for (const auto& m : mails) {
    EXPECT_TRUE(m.tls);
    EXPECT_EQ(m.login, "ann");
  }
}
