// Long runs through the runner against Postfix's smtp-sink: 100 000 evaluations on four
// threads while the runner's resident memory is sampled (it must stay flat after warm-up), and
// 1 000 evaluations under valgrind's memcheck (no leak, no error). Both are bounded in time.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <cstdio>

#include "files.h"
#include "scripted_peer.h"
#include "smtp_test_server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using testfiles::Child;
using testfiles::slurp;

// Whether something listens on the loopback port, from the kernel's table of TCP sockets (a
// connect would cost the sink a session).
bool listening(uint16_t port) {
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X 00000000:0000 0A", port);
  return slurp("/proc/net/tcp").find(local) != std::string::npos;
}

// The runner's resident set in KiB, or -1 once it is gone.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::temporaryFolder("soak");
    std::ofstream(dir_ / "mail.xml") << "<Mail><To>ann@example.com</To><Cc>bob@example.com</Cc>"
                                        "<Subject>Soak</Subject><Body><Line>one</Line><Line>two</Line>"
                                        "</Body></Mail>\n";
    ASSERT_TRUE(fs::exists(SMTP_SINK)) << "Postfix's smtp-sink is missing (scripts/deps.sh installs it)";
    // smtp-sink will not run as root without a user to switch to. It takes a port that was free
    // a moment ago; the runner's first connection waits until it listens.
    std::vector<std::string> argv = {SMTP_SINK};
    if (::geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});
    ::close(testsupport::listenOnLoopback(port_, 1));
    argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(port_), "256"});
    sink_ = std::make_unique<Child>(argv, dir_ / "sink.txt");
    for (auto end = Clock::now() + 5s; Clock::now() < end && !listening(port_); std::this_thread::sleep_for(20ms)) {
    }
    ASSERT_EQ(sink_->poll(), -1) << "smtp-sink ended: " << slurp(dir_ / "sink.txt");
    ASSERT_TRUE(listening(port_)) << "smtp-sink did not start: " << slurp(dir_ / "sink.txt");
  }
  void TearDown() override {
    if (sink_) sink_->end(SIGTERM);
    fs::remove_all(dir_);
  }

  std::vector<std::string> runnerArgs(int repeat) const {
    return {FLOWRUN, "--server", "127.0.0.1:" + std::to_string(port_), "--set", "SMTPFrom=soak@example.com",
            "--threads", "4", "--repeat", std::to_string(repeat), "-q", (dir_ / "mail.xml").string()};
  }

  fs::path dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Child> sink_;
};

TEST_F(Soak, MemoryStaysFlatOver100000Evaluations) {
  constexpr int kEvaluations = 100'000;
  Child runner(runnerArgs(kEvaluations), dir_ / "runner.txt");
  ASSERT_GT(runner.pid(), 0);
  std::vector<long> samples;
  const auto end = Clock::now() + 150s;
  while (runner.poll() == -1 && Clock::now() < end) {
    if (const long kib = residentKiB(runner.pid()); kib > 0) samples.push_back(kib);
    std::this_thread::sleep_for(200ms);
  }
  ASSERT_NE(runner.poll(), -1) << "the runner did not finish within 150 s";
  EXPECT_EQ(runner.poll(), 0) << slurp(dir_ / "runner.txt");
  const std::string summary = slurp(dir_ / "runner.txt");
  EXPECT_NE(summary.find("100000 messages: 100000 out, 0 failure"), std::string::npos) << summary;

  // Warm-up is the first quarter of the run; after it the resident set may not grow.
  ASSERT_GE(samples.size(), 20u) << "the run was too short to sample";
  const std::size_t warm = samples.size() / 4;
  const long settled = *std::max_element(samples.begin() + warm, samples.begin() + 2 * warm);
  const long last = *std::max_element(samples.end() - warm, samples.end());
  std::ostringstream trace;
  for (long s : samples) trace << s << ' ';
  RecordProperty("rss_kib", trace.str());
  EXPECT_LE(last - settled, 1024) << "resident KiB over the run: " << trace.str();
}

TEST_F(Soak, ValgrindFindsNoLeakAndNoError) {
  std::vector<std::string> args = {VALGRIND, "--quiet", "--leak-check=full",
                                   "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99"};
  for (const auto& a : runnerArgs(1000)) args.push_back(a);
  Child runner(args, dir_ / "valgrind.txt");
  ASSERT_GT(runner.pid(), 0);
  const auto end = Clock::now() + 240s;
  while (runner.poll() == -1 && Clock::now() < end) std::this_thread::sleep_for(100ms);
  ASSERT_NE(runner.poll(), -1) << "valgrind did not finish within 240 s";
  const std::string report = slurp(dir_ / "valgrind.txt");
  EXPECT_EQ(runner.poll(), 0) << report;
  EXPECT_NE(report.find("1000 messages: 1000 out, 0 failure"), std::string::npos) << report;
}

}  // namespace
