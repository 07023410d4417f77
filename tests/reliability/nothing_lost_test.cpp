// Nothing is lost: the runner evaluates hundreds of messages on four threads on one node (its
// settings loaded once for all) against a real SMTP server that refuses one mail in ten and
// drops the connection on another one in ten.
// Every message must leave through exactly one terminal, every "out" must be a mail the server
// stored (and every stored mail an "out"), and every "failure" must carry its reason.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "files.h"
#include "smtp_test_server.h"

namespace {

namespace fs = std::filesystem;

constexpr int kMessages = 1000;

using testfiles::slurp;

// Message i: refused when i % 10 == 3, dropped when i % 10 == 7, accepted otherwise.
enum class Fate { Accepted, Refused, Dropped };
Fate fateOf(int i) { return i % 10 == 3 ? Fate::Refused : i % 10 == 7 ? Fate::Dropped : Fate::Accepted; }

std::string stemOf(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "m%04d", i);
  return name;
}

std::string recipientOf(int i) {
  const char* local = fateOf(i) == Fate::Refused ? "refuse" : fateOf(i) == Fate::Dropped ? "drop" : "user";
  return std::string(local) + "-" + std::to_string(i) + "@example.com";  // no digits right after the trigger
}

// The text of the "SendMailError" element of a failure message the runner wrote, or "".
std::string sendMailError(const std::string& xml) {
  const std::size_t start = xml.find("<SendMailError>"), end = xml.find("</SendMailError>");
  return start == std::string::npos || end == std::string::npos ? std::string{} : xml.substr(start + 15, end - start - 15);
}

std::set<std::string> stemsIn(const fs::path& dir) {
  std::set<std::string> stems;
  if (!fs::exists(dir)) return stems;
  for (const auto& entry : fs::directory_iterator(dir)) stems.insert(entry.path().stem().string());
  return stems;
}

TEST(NothingLost, FourThreadsWithRefusalsAndDrops) {
  testsupport::SmtpTestServer server;
  const fs::path dir = testsupport::temporaryFolder("nothing-lost");
  fs::create_directories(dir / "in");
  for (int i = 0; i < kMessages; ++i) {
    std::ofstream(dir / "in" / (stemOf(i) + ".xml"))
        << "<Mail><To>" << recipientOf(i) << "</To><Subject>" << stemOf(i)
        << "</Subject><Body><Line>message " << i << "</Line></Body></Mail>\n";
  }

  const testfiles::Invocation run = testfiles::run(
      FLOWRUN, {"--server", "127.0.0.1:" + std::to_string(server.port()), "--set", "SMTPFrom=loss@example.com", "--set",
                "SMTPFullFrom=Loss", "--set", "SetPriority=yes", "--set", "Priority=High", "--threads", "4", "-v",
                "--out", (dir / "result").string(), (dir / "in").string()}, dir);
  EXPECT_EQ(run.status, 1) << "some messages failed, so the runner reports 1\n" << run.err;
  const std::string& output = run.out;
  const int accepted = kMessages - 2 * (kMessages / 10);
  EXPECT_NE(output.find(std::to_string(kMessages) + " messages: " + std::to_string(accepted) + " out, " +
                        std::to_string(kMessages - accepted) + " failure, 0 dropped, 0 ended"),
            std::string::npos)
      << output.substr(output.size() > 300 ? output.size() - 300 : 0);

  // One "Message propagated" entry per message in the node's log (-v prints each message's
  // entries under its line): a second propagation of the same message would show here even
  // where it overwrote the first one's file.
  std::map<std::string, int> propagated;
  std::istringstream lines(output);
  std::string current;
  for (std::string line; std::getline(lines, line);) {
    if (const std::size_t arrow = line.find(" -> "); arrow != std::string::npos && line[0] != ' ')
      current = fs::path(line.substr(0, arrow)).stem().string();
    else if (line.rfind("  log: ", 0) == 0 && line.find("Message propagated") != std::string::npos)
      ++propagated[current];
  }

  // Exactly one terminal per message.
  const std::set<std::string> out = stemsIn(dir / "result" / "out");
  const std::set<std::string> failure = stemsIn(dir / "result" / "failure");
  EXPECT_EQ(out.size() + failure.size(), static_cast<std::size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) {
    const std::string stem = stemOf(i);
    SCOPED_TRACE(stem + " to " + recipientOf(i));
    EXPECT_EQ(out.count(stem) + failure.count(stem), 1u) << "lost, or left through both terminals";
    EXPECT_EQ(out.count(stem), fateOf(i) == Fate::Accepted ? 1u : 0u);
    EXPECT_EQ(propagated[stem], 1);
    if (failure.count(stem) == 0) continue;
    const std::string reason = sendMailError(slurp(dir / "result" / "failure" / (stem + ".xml")));
    EXPECT_FALSE(reason.empty()) << "a failure without its reason";
    EXPECT_EQ(fateOf(i) == Fate::Refused ? reason.substr(0, 3) : reason,
              fateOf(i) == Fate::Refused ? "550" : "Error during communication");
  }

  // The server stored exactly the mails that went to "out", each once.
  const auto mails = server.waitForMails(out.size());
  EXPECT_EQ(mails.size(), out.size());
  std::map<std::string, int> stored;
  for (const auto& mail : mails) {
    ++stored[mail.subject];
    // The settings, loaded once by whichever thread came first, hold for every mail.
    EXPECT_EQ(mail.from, "Loss <loss@example.com>");
    EXPECT_NE(mail.data.find("X-Priority: 2 (High  )\r\n"), std::string::npos);
  }
  for (const std::string& stem : out) EXPECT_EQ(stored[stem], 1) << stem << " stored " << stored[stem] << " times";
  EXPECT_EQ(stored.size(), out.size());
  fs::remove_all(dir);
}

}  // namespace
