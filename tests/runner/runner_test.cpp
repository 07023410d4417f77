// The runner end to end: the flowrun program loads the plug-in, reads XML and JSON messages,
// and delivers them to a real SMTP server; its lines, files and exit status tell the outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "smtp_test_server.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Invocation {
  int status = -1;
  std::string out;
  std::string err;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class RunnerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testsupport::SmtpTestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("flowrun-test-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    before_ = server_->mails().size();
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& text) {
    fs::path path = dir_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Runs flowrun with `args` (and `input` on standard input).
  Invocation flowrun(const std::vector<std::string>& args, const std::string& input = "") {
    std::string command = quote(FLOWRUN);
    for (const auto& a : args) command += " " + quote(a);
    fs::path in = write("stdin.txt", input);
    command += " <" + quote(in.string()) + " >" + quote((dir_ / "stdout.txt").string()) + " 2>" +
               quote((dir_ / "stderr.txt").string());
    Invocation run;
    int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = slurp(dir_ / "stdout.txt");
    run.err = slurp(dir_ / "stderr.txt");
    return run;
  }

  std::vector<std::string> serverArgs() const {
    return {"--server", "127.0.0.1:" + std::to_string(server_->port()), "--set", "SMTPFrom=runner@example.com"};
  }

  std::vector<testsupport::ReceivedMail> newMails(std::size_t n) {
    auto all = server_->waitForMails(before_ + n);
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(before_, all.size())), all.end()};
  }

  static testsupport::SmtpTestServer* server_;
  fs::path dir_;
  std::size_t before_ = 0;
};

testsupport::SmtpTestServer* RunnerTest::server_ = nullptr;

TEST_F(RunnerTest, SampleMessagesArriveAndFailuresReadBack) {
  std::string examples = std::string(SOURCE_DIR) + "/examples";
  std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(server_->port()), "--node",
                                   examples + "/node.properties", "--out", (dir_ / "out").string(), examples};
  Invocation run = flowrun(args);

  EXPECT_EQ(run.status, 1) << "two samples fail on purpose\n" << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("greetings.json -> out\n"));
  EXPECT_THAT(run.out, HasSubstr("order-shipped.xml -> out\n"));
  EXPECT_THAT(run.out, HasSubstr("refused.xml -> failure: 550"));
  EXPECT_THAT(run.out, HasSubstr("no-recipients.xml -> failure: 5"));
  EXPECT_THAT(run.out, HasSubstr("5 messages: 3 out, 2 failure, 0 dropped, 0 ended"));

  auto mails = newMails(3);
  ASSERT_EQ(mails.size(), 3u);
  std::map<std::string, testsupport::ReceivedMail> bySubject;
  for (const auto& m : mails) bySubject[m.subject] = m;
  ASSERT_EQ(bySubject.count("Order 4711 has shipped"), 1u);
  const auto& order = bySubject["Order 4711 has shipped"];
  EXPECT_EQ(order.mailFrom, "alerts@example.com");
  EXPECT_EQ(order.from, "Alert Service <alerts@example.com>");
  EXPECT_THAT(order.rcptTos, ::testing::ElementsAre("ann@example.com", "bob@example.com", "carl@example.com",
                                                    "audit@example.com"));
  EXPECT_EQ(order.to, "ann@example.com, bob@example.com");
  EXPECT_EQ(order.cc, "Carl Jones <carl@example.com>");
  EXPECT_THAT(order.body, HasSubstr("left our warehouse today."));
  EXPECT_THAT(order.body, HasSubstr("\r\n.\r\n"));
  EXPECT_THAT(order.data, HasSubstr("X-Priority: 2 (High  )\r\n"));
  ASSERT_EQ(bySubject.count("Grüße aus Köln – 東京からこんにちは 🎉"), 1u);
  EXPECT_THAT(bySubject["Grüße aus Köln – 東京からこんにちは 🎉"].body, HasSubstr("東京の皆さん"));
  // The rich sample: HTML beside the text, a file and a base64 attachment, its own headers.
  const auto& report = bySubject["Disk usage on db01 at 91 %"];
  ASSERT_EQ(report.parts.size(), 4u);
  EXPECT_EQ(report.parts[1].type, "text/html");
  EXPECT_EQ(report.parts[2].bytes, slurp(examples + "/attachments/disk-usage.csv"));
  EXPECT_EQ(report.parts[3].bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_THAT(report.headers, ::testing::Contains(std::pair<std::string, std::string>("X-Ticket", "INC-4711")));

  // The failure copies carry their reason and read back as input.
  std::string refused = slurp(dir_ / "out" / "failure" / "refused.xml");
  EXPECT_THAT(refused, HasSubstr("<SendMailError>550"));
  EXPECT_TRUE(fs::exists(dir_ / "out" / "out" / "order-shipped.xml"));
  Invocation again = flowrun({"--server", "127.0.0.1:" + std::to_string(server_->port()), (dir_ / "out" / "failure").string()});
  EXPECT_EQ(again.status, 1);
  EXPECT_THAT(again.out, HasSubstr("refused.xml -> failure: 550"));
  EXPECT_THAT(again.out, HasSubstr("2 messages: 0 out, 2 failure"));
}

TEST_F(RunnerTest, FailedMessagesGoOutWhenFedAgainAfterTheCauseIsFixed) {
  fs::path message = write("in/hello.json", R"({"To": ["ann@example.com", "bob@example.com"],
    "Subject": "retry me", "Body": {"Line": ["one", "two"]}})");
  // Nothing listens on port 1 of the loopback: the connection fails.
  Invocation down = flowrun({"--server", "127.0.0.1:1", "--out", (dir_ / "first").string(), message.string()});
  EXPECT_EQ(down.status, 1);
  EXPECT_THAT(down.out, HasSubstr("hello.json -> failure: TCP/IP connection failed"));

  Invocation up = flowrun({"--server", "127.0.0.1:" + std::to_string(server_->port()), (dir_ / "first" / "failure").string()});
  EXPECT_EQ(up.status, 0) << up.out << up.err;
  auto mails = newMails(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].subject, "retry me");
  EXPECT_THAT(mails[0].rcptTos, ::testing::ElementsAre("ann@example.com", "bob@example.com"));
  EXPECT_THAT(mails[0].body, HasSubstr("one\r\ntwo\r\n"));
}

TEST_F(RunnerTest, BadInputIsReportedAndGoodMessagesStillGo) {
  fs::path good = write("good.xml", "<Mail><To>ann@example.com</To><Subject>good one</Subject></Mail>");
  fs::path badXml = write("bad.xml", "<Mail>\n  <To>ann@example.com</To>\n  <Subject>oops</Mail>\n");
  fs::path badJson = write("bad.json", "{\n  \"To\": \"ann@example.com\",\n  \"Subject\": \n}\n");
  std::vector<std::string> args = serverArgs();
  fs::path noFile = write("nofile.json", R"({"To": "ann@example.com", "Attachment": {"Data": {"File": "gone.csv"}}})");
  fs::path badBase64 = write("bad64.xml", "<Mail><To>a@example.com</To><Attachment><Data><Base64>a*b</Base64></Data></Attachment></Mail>");
  fs::path header = write("header.xml", "<Mail><To>ann@example.com</To><Subject>good one</Subject><Header><Date>x</Date></Header></Mail>");
  args.insert(args.end(), {badXml.string(), header.string(), badJson.string(), (dir_ / "missing.xml").string(),
                           noFile.string(), badBase64.string()});
  Invocation run = flowrun(args);

  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, HasSubstr("bad.xml: line 3: "));
  EXPECT_THAT(run.err, HasSubstr("bad.json: parse error at line 4"));
  EXPECT_THAT(run.err, HasSubstr("missing.xml: No such file or directory"));
  EXPECT_THAT(run.err, HasSubstr("nofile.json: attachment file " + (dir_ / "gone.csv").string() + " cannot be read"));
  EXPECT_THAT(run.err, HasSubstr("bad64.xml: attachment Data is not valid base64"));
  EXPECT_THAT(run.err, HasSubstr("header.xml: header \"Date\" is not sent: written by the node itself"));
  EXPECT_THAT(run.out, HasSubstr("header.xml -> out"));
  auto mails = newMails(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].subject, "good one");

  Invocation unknown = flowrun({"--set", "ServerNmae=127.0.0.1", good.string()});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_THAT(unknown.err, HasSubstr("unknown attribute ServerNmae"));

  Invocation tooLong = flowrun({"--set", "Bcc=" + std::string(300, 'b'), good.string()});
  EXPECT_EQ(tooLong.status, 2);
  EXPECT_THAT(tooLong.err, HasSubstr("refuses the value of attribute Bcc"));

  Invocation noEntry = flowrun({"--plugin", PLUGIN_NO_ENTRY, good.string()});
  EXPECT_EQ(noEntry.status, 2);
  EXPECT_THAT(noEntry.err, HasSubstr("no entry point tvlGetMessageflowNodeFactory"));

  Invocation noClass = flowrun({"--plugin", PLUGIN_NO_CLASS, good.string()});
  EXPECT_EQ(noClass.status, 2);
  EXPECT_THAT(noClass.err, HasSubstr("registered no node class"));

  Invocation usage = flowrun({"--repeat", "0"});
  EXPECT_EQ(usage.status, 2);
}

TEST_F(RunnerTest, AttributesStandardInputAndDescriptor) {
  fs::path properties = write("node.properties", "# a comment\nServerName = 127.0.0.1\n\nSMTPFullFrom=Runner\n");
  Invocation list = flowrun({"--node", properties.string(), "--set", "ServerPort=2525", "--list-attributes"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out,
            "Bcc=\nPriority=\nSetPriority=\nServerName=127.0.0.1\nServerPort=2525\nSMTPFrom=\n"
            "SMTPFullFrom=Runner\nC=\nF=\nf=\nh=\nX=\n");

  // A JSON array on standard input: two messages; a fixed descriptor gives date and id.
  std::vector<std::string> args = serverArgs();
  args.insert(args.end(), {"--put-time", "2001-03-07 09:05:03.75", "--msgid", std::string(46, '0') + "2A", "-v", "-"});
  Invocation run = flowrun(args, R"([{"To": "ann@example.com", "Subject": "first"},
                             {"MailTo": "bob@example.com", "Subject": "second"}])");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("stdin#1 -> out\n  log: type 2 SendMailPlugIn:1637 Message propagated\n"));
  EXPECT_THAT(run.out, HasSubstr("stdin#2 -> out\n"));
  auto mails = newMails(2);
  ASSERT_EQ(mails.size(), 2u);
  for (const auto& m : mails) {
    EXPECT_THAT(m.data, HasSubstr("Date: 07 Mar 2001 09:05:03 GMT\r\n"));
    EXPECT_THAT(m.messageId, HasSubstr(std::string(46, '0') + "2A"));
  }

  // An unattached failure terminal drops what would go there.
  Invocation dropped = flowrun({"--server", "127.0.0.1:1", "--detach", "failure", "-"}, R"({"To": "ann@example.com"})");
  EXPECT_EQ(dropped.status, 1);
  EXPECT_THAT(dropped.out, HasSubstr("stdin -> dropped (not attached)"));
}

TEST_F(RunnerTest, ThreadsAndRepeatCountEveryMessageOnce) {
  fs::path message = write("bulk.xml", "<Mail><To>ann@example.com</To><Subject>bulk</Subject><Body>b</Body></Mail>");
  std::vector<std::string> args = serverArgs();
  args.insert(args.end(), {"--threads", "2", "--repeat", "500", message.string()});
  Invocation run = flowrun(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("500 messages: 500 out, 0 failure, 0 dropped, 0 ended"));
  std::set<std::string> labels;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" -> ") == std::string::npos) continue;
    EXPECT_TRUE(labels.insert(line).second) << line;
  }
  EXPECT_EQ(labels.size(), 500u);
  EXPECT_EQ(newMails(500).size(), 500u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(server_->mails().size(), before_ + 500) << "no mail beyond the ones that went out";
}

}  // namespace
