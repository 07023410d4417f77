// The runner end to end: the flowrun program loads the plug-in, reads XML and JSON messages,
// and delivers them to a real SMTP server; its lines, files and exit status tell the outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "files.h"
#include "node_schema.h"
#include "smtp_test_server.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

using testfiles::Invocation;
using testfiles::quote;
using testfiles::slurp;

// The `ticked` names of a README table cell, joined by " ".
std::string ticked(std::string_view cell) {
  std::string names;
  for (std::size_t open; (open = cell.find('`')) != std::string_view::npos;) {
    const std::size_t close = cell.find('`', open + 1);
    names += (names.empty() ? "" : " ") + std::string(cell.substr(open + 1, close - open - 1));
    cell.remove_prefix(close + 1);
  }
  return names;
}

// The rows of the README's table headed `header`, as their cells.
std::vector<std::vector<std::string>> readmeTable(const std::string& header) {
  std::istringstream readme(slurp(std::string(SOURCE_DIR) + "/README.md"));
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(readme, line) && line != header) {
  }
  while (std::getline(readme, line) && line.starts_with("|")) {
    if (line.starts_with("|---")) continue;
    std::vector<std::string> cells;
    for (std::size_t at = 1, bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1)
      cells.push_back(line.substr(at, bar - at));
    rows.push_back(cells);
  }
  return rows;
}

class RunnerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new testsupport::SmtpTestServer();
    quitIgnored_ = new testsupport::SmtpTestServer({"--ignore-quit"});
  }
  static void TearDownTestSuite() {
    delete server_;
    delete quitIgnored_;
  }

  void SetUp() override {
    dir_ = testsupport::temporaryFolder("flowrun-test");
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
  Invocation flowrun(const std::vector<std::string>& args, const std::string& input = "",
                     const std::string& shellPrefix = "") {
    return testfiles::run(FLOWRUN, args, dir_, input, shellPrefix);
  }

  std::vector<std::string> serverArgs() const {
    return {"--server", "127.0.0.1:" + std::to_string(server_->port()), "--set", "SMTPFrom=runner@example.com"};
  }

  std::vector<testsupport::ReceivedMail> newMails(std::size_t n) {
    auto all = server_->waitForMails(before_ + n);
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(before_, all.size())), all.end()};
  }

  static inline testsupport::SmtpTestServer* server_ = nullptr;
  static inline testsupport::SmtpTestServer* quitIgnored_ = nullptr;  // never answers QUIT
  fs::path dir_;
  std::size_t before_ = 0;
};

TEST_F(RunnerTest, SampleMessagesArriveAndFailuresCarryTheirReason) {
  std::string examples = std::string(SOURCE_DIR) + "/examples";
  std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(server_->port()), "--node",
                                   examples + "/node.properties", "--out", (dir_ / "out").string(), examples};
  Invocation run = flowrun(args);

  EXPECT_EQ(run.status, 1) << "two samples fail on purpose\n" << run.out << run.err;
  for (const char* said : {"greetings.json -> out\n", "order-shipped.xml -> out\n", "refused.xml -> failure: 550",
                           "no-recipients.xml -> failure: No recipients found", "5 messages: 3 out, 2 failure, 0 dropped, 0 ended",
                           "no-recipients.xml: no recipient: no To, Cc or Bcc", "failures by reason:\n  1  550"})
    EXPECT_THAT(run.out + run.err, HasSubstr(said));

  auto mails = newMails(3);
  ASSERT_EQ(mails.size(), 3u);
  std::map<std::string, testsupport::ReceivedMail> bySubject;
  for (const auto& m : mails) bySubject[m.subject] = m;
  // The node's settings from the properties file, and a body line that is a lone dot.
  const auto& order = bySubject["Order 4711 has shipped"];
  EXPECT_EQ(order.from, "Alert Service <alerts@example.com>");
  EXPECT_THAT(order.rcptTos, ::testing::ElementsAre("ann@example.com", "bob@example.com", "carl@example.com",
                                                    "audit@example.com"));
  EXPECT_EQ(order.cc, "Carl Jones <carl@example.com>");
  EXPECT_THAT(order.body, HasSubstr("\r\n.\r\n"));
  EXPECT_THAT(order.data, HasSubstr("X-Priority: 2 (High  )\r\n"));
  EXPECT_THAT(bySubject["Grüße aus Köln – 東京からこんにちは 🎉"].body, HasSubstr("東京の皆さん"));
  // The rich sample: HTML beside the text, a file and a base64 attachment, its own headers.
  const auto& report = bySubject["Disk usage on db01 at 91 %"];
  ASSERT_EQ(report.parts.size(), 4u);
  EXPECT_EQ(report.parts[1].type, "text/html");
  EXPECT_EQ(report.parts[2].bytes, slurp(examples + "/attachments/disk-usage.csv"));
  EXPECT_EQ(report.parts[3].bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_THAT(report.headers, ::testing::Contains(std::pair<std::string, std::string>("X-Ticket", "INC-4711")));

  // The failure copies carry their reason (fed back as input in the next test).
  EXPECT_THAT(slurp(dir_ / "out" / "failure" / "refused.xml"), HasSubstr("<SendMailError>550"));
  EXPECT_TRUE(fs::exists(dir_ / "out" / "out" / "order-shipped.xml"));
}

// Failure copies carry their attachment's bytes, and however often a folder is retried, each of
// its mails is sent once: a delivered file leaves failure/, one refused again stays, replaced.
TEST_F(RunnerTest, HundredFailuresOfOneArrayArriveOnceHoweverOftenRetried) {
  std::string array = R"([{"To": "refuse@example.com", "AccessToken": "tok-at-rest"})";
  for (int i = 0; i < 100; ++i) {
    array += R"(,{"To": "n)" + std::to_string(i) + R"(@example.com", "Subject": "s)" + std::to_string(i) +
             R"(", "Body": ["one", "two"])" + (i ? "}" : R"(, "Attachment": {"Data": {"File": "a.bin"}}})");
  }
  const std::string bytes("\0\x89PNG", 5);
  const fs::path attachment = write("in/a.bin", bytes);
  fs::path message = write("in/many.json", array + "]");
  // Nothing listens on port 1 of the loopback: every message fails, twice into the same folder,
  // with its detail; delivered, each goes on with a receipt.
  for (int run = 0; run < 2; ++run) {
    Invocation down = flowrun({"--server", "127.0.0.1:1", "-q", "--set", "FailureDetail=yes", "--out",
                               (dir_ / "first").string(), message.string()});
    EXPECT_EQ(down.status, 1);
  }
  EXPECT_THAT(slurp(dir_ / "first" / "failure" / "many-7.xml"), HasSubstr("<Kind>transient</Kind>"));
  fs::remove(attachment);
  const std::vector<std::string> retry = {"--server", "127.0.0.1:" + std::to_string(server_->port()), "--set", "Receipt=yes",
                                          "-q", "--retry", (dir_ / "first").string()};
  Invocation up = flowrun(retry);
  EXPECT_EQ(up.status, 1) << up.out << up.err;
  EXPECT_THAT(up.out, HasSubstr("202 messages: 200 out, 2 failure"));
  EXPECT_THAT(flowrun(retry).out, HasSubstr("2 messages: 0 out, 2 failure"));
  std::map<std::string, int> stored;
  for (const auto& mail : newMails(200)) {
    ++stored[mail.subject];
    EXPECT_THAT(mail.parts.empty() ? mail.body : mail.parts.at(1).bytes, HasSubstr(mail.parts.empty() ? "one\r\ntwo\r\n" : bytes));
  }
  EXPECT_EQ(server_->mails().size(), before_ + 200);
  EXPECT_EQ(stored.size(), 100u);
  for (const auto& [subject, count] : stored) EXPECT_EQ(count, 2) << subject;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "first" / "failure"), {}), 2);
  for (const auto& file : fs::directory_iterator(dir_ / "first" / "failure"))
    EXPECT_THAT(slurp(file.path()), Not(HasSubstr("tok-at-rest"))) << "a bearer token written to a file";
  // The old reason and its detail do not travel on with a delivered copy, nor an old receipt.
  const std::string delivered = slurp(dir_ / "first" / "out" / "many-7.xml");
  EXPECT_THAT(delivered, Not(HasSubstr("SendMailError")));
  EXPECT_THAT(delivered, HasSubstr("<Reply>250 Message accepted</Reply>"));
  Invocation third = flowrun({retry[0], retry[1], retry[2], retry[3], "--out", (dir_ / "third").string(),
                              (dir_ / "first" / "out" / "many-7.xml").string()});
  EXPECT_THAT(third.err, Not(HasSubstr("does not read")));
  const std::string twice = slurp(dir_ / "third" / "out" / "many-7.xml");
  EXPECT_EQ(twice.find("<SendMailReceipt>"), twice.rfind("<SendMailReceipt>")) << "one receipt, the new one";
}

// Each row is one run against the real server: hostile or mistaken input, what the runner says
// (standard error or output) and, where a mail goes out, what arrives.
TEST_F(RunnerTest, HostileAndMistakenInput) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // written into the row's folder
    std::vector<std::string> args;                           // before the folder
    int status;
    std::string said;     // in standard error or output
    std::string subject;  // of the mail that arrives, with `body` in it
    std::string body;
    int seconds = 0;         // when set: the run, the node's removal included, ends within it
    bool strictXml = false;  // --out files, which a strict XML parser must read
  };
  auto times = [](const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
  };
  const std::string good = "<Mail><To>ann@example.com</To><Subject>good one</Subject></Mail>";
  std::string utf16 = "\xff\xfe";
  for (char c : std::string("<Mail><To>a@example.com</To><Subject>sixteen</Subject></Mail>")) utf16 += {c, '\0'};
  const std::vector<Row> rows = {
      {"deep-json", {{"d.json", times("{\"a\":", 10000) + "1" + times("}", 10000)}, {"g.xml", good}}, {}, 2,
       "d.json: nested deeper than 256 levels", "good one", ""},
      {"deep-array", {{"d.json", "{\"a\":" + times("[", 20000) + times("]", 20000) + "}"}}, {}, 2, "nested deeper", "", ""},
      {"deep-xml", {{"d.xml", times("<a>", 50000) + times("</a>", 50000)}}, {}, 2, "nested deeper than 256", "", ""},
      {"malformed", {{"bad.xml", "<Mail>\n  <To>a@example.com</To>\n  <Subject>oops</Mail>\n"},
                     {"bad.json", "{\n  \"To\": \"a@example.com\",\n  \"Subject\": \n}\n"}}, {}, 2,
       "bad.xml: line 3: ", "", ""},
      {"latin-1", {{"l.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><Mail><To>a@example.com</To>"
                             "<Subject>caf\xe9</Subject></Mail>"}}, {}, 0, "l.xml -> out", "café", ""},
      {"utf-16", {{"u.xml", utf16}}, {}, 0, "u.xml -> out", "sixteen", ""},
      {"encoding", {{"e.xml", "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><Mail/>"}}, {}, 2,
       "encoding \"Shift_JIS\" is not supported", "", ""},
      {"body-array", {{"b.json", R"({"To": "a@example.com", "Subject": "lines", "Body": ["first", "second"]})"}}, {},
       0, "b.json -> out", "lines", "first\r\nsecond\r\n"},
      {"mixed", {{"m.xml", "<Mail><To>a@example.com</To><Subject>mixed</Subject><Body>Dear,<b>bold</b> x</Body></Mail>"}},
       {}, 0, "text beside child elements of <Body> is dropped", "mixed", "bold"},
      {"bad-keys", {{"k.json", R"([{"To": "a@example.com", "my key": 1}, {"To": "a@example.com", "Subject": "k2"}])"}},
       {}, 2, "k.json#1: key \"my key\" cannot be an element name", "k2", ""},
      {"escapes", {{"x.json", R"({"\u001b[31m": 1})"}}, {}, 2, "key \"\\x1b[31m\" cannot", "", ""},
      {"unread-fields", {{"f.json", R"({"to": "a@example.com", "Subjet": "s", "To": "b@example.com"})"}}, {}, 0,
       "field(s) Subjet (did you mean Subject?), to (did you mean To?) (first in", "", ""},
      // Names other tools use inside an attachment: warned about, and no attachment goes empty.
      {"attachment-typos", {{"a.json", R"({"To": "a@example.com", "Attachment": {"filename": "a.txt",
                                           "Data": {"file": "report.pdf"}}})"}}, {}, 2,
       "Data child(ren) file (did you mean File?)", "", ""},
      {"attachment-data-typo", {{"a.json", R"({"To": "a@example.com", "Attachment": {"Name": "a.txt", "data": "x"}})"}},
       {}, 2, "a.json: attachment \"a.txt\" has no Data: it would be sent empty", "", ""},
      {"attachment-names", {{"a.xml", "<Mail><To>a@example.com</To><Subject>att</Subject><Attachment><name>n.txt</name>"
                                      "<Content-Type>text/plain</Content-Type><Data>x</Data></Attachment></Mail>"}}, {}, 0,
       "Content-Type (did you mean ContentType?), name (did you mean Name?)", "att", ""},
      {"attachment-empty-file", {{"a.xml", "<Mail><To>a@example.com</To><Attachment><Data><File>e.txt</File></Data>"
                                           "</Attachment></Mail>"}, {"e.txt", ""}}, {}, 2, "e.txt is empty", "", ""},
      {"attachment-empty-base64", {{"a.xml", "<Mail><To>a@example.com</To><Attachment><Data><Base64/></Data>"
                                             "</Attachment></Mail>"}}, {}, 2, "attachment #1: its <Base64> is empty", "", ""},
      {"comma-list", {{"c.xml", "<Mail><To>\"Doe, J\" &lt;a@example.com&gt;, b@example.com</To></Mail>"}}, {}, 1,
       "field To: recipient lists are separated by ';'", "", ""},
      {"defaults", {{"g.xml", good}}, {"--set", "SetPriority=Yes", "--set", "ServerPort=70000"}, 1,
       "attribute SetPriority \"Yes\" is not exactly \"yes\"", "", ""},
      {"no-sender", {{"g.xml", good}}, {"--set", "SMTPFrom= x@example.com"}, 0, "no sender: no SMTPFrom attribute",
       "good one", ""},
      {"attachment-file", {{"n.json", R"({"To": "a@example.com", "Attachment": {"Data": {"File": "gone.csv"}}})"}}, {},
       2, "gone.csv cannot be read", "", ""},
      {"attachment-base64", {{"b.xml", "<Mail><To>a@example.com</To><Attachment><Data><Base64>a*b</Base64></Data>"
                                       "</Attachment></Mail>"}}, {}, 2, "b.xml: attachment Data is not valid base64", "", ""},
      {"header-not-sent", {{"h.xml", "<Mail><To>a@example.com</To><Subject>hdr</Subject><Header><Date>x</Date>"
                                     "</Header></Mail>"}}, {}, 0, "header \"Date\" is not sent: written by the node itself",
       "hdr", ""},
      {"no-messages", {{"notes.txt", "x"}}, {}, 2, "no input messages", "", ""},
      {"missing", {}, {"missing.xml"}, 2, "missing.xml: No such file or directory", "", ""},
      {"bad-port", {{"g.xml", good}}, {"--server", "127.0.0.1:65536"}, 2, "--server wants", "", ""},
      {"ipv6", {}, {"--server", "[::1]:2525", "--list-attributes"}, 0, "ServerName=::1\nServerPort=2525\n", "", ""},
      {"detached", {{"g.xml", good}}, {"--server", "127.0.0.1:1", "--detach", "failure"}, 1,
       "g.xml -> dropped (not attached)", "", ""},
      {"retried", {{"g.xml", good}}, {"--server", "127.0.0.1:1", "--set", "RetryTransient=2", "--set",
                                      "RetryMaxSeconds=0.01", "--set", "FailureDetail=yes"},
       1, "g.xml -> failure: TCP/IP connection failed: 127.0.0.1:1: Connection refused (3 attempts)\n", "", ""},
      {"unknown-attribute", {}, {"--set", "ServerNmae=x"}, 2, "unknown attribute ServerNmae", "", ""},
      {"refused-value", {}, {"--set", "Bcc=" + std::string(300, 'b')}, 2, "refuses the value of attribute Bcc", "", ""},
      {"no-entry", {}, {"--plugin", PLUGIN_NO_ENTRY}, 2, "no entry point tvlGetMessageflowNodeFactory", "", ""},
      {"no-class", {}, {"--plugin", PLUGIN_NO_CLASS}, 2, "registered no node class", "", ""},
      // Kept connections to a server that ignores QUIT: removing the node waits once, briefly,
      // never QUIT's 30 s (the bound leaves a busy machine room).
      {"quit-ignored", {{"g.xml", good}}, {"--server", "127.0.0.1:" + std::to_string(quitIgnored_->port()), "--set",
                                            "ConnectionReuse=yes", "--threads", "2", "--repeat", "6", "-q"},
       0, "6 messages: 6 out", "", "", 10},
      // A reply with ESC and a line break: a one-line reason, and --out files that are XML.
      {"escape-reply", {{"e.xml", "<Mail><To>escape@example.com</To></Mail>"}}, {}, 1,
       "e.xml -> failure: 550- [31mrefused [0m by 550 trigger\n", "", "", 0, true},
      {"tls-file-alone", {{"g.xml", good}}, {"--set", "TLSCAFile=/nonexistent.pem"}, 0,
       "attribute TLSCAFile is used only when Security is set: mail goes in clear", "good one", ""},
      {"password-alone", {{"g.xml", good}}, {"--set", "SMTPPassword=s3cret"}, 0,
       "attribute SMTPPassword is used only when SMTPUser is set", "good one", ""},
      // Values from a file (relative to the properties file, its line end dropped) and from the
      // environment; the secret one masked.
      {"value-sources", {{"n.properties", "TimeoutSeconds.file = t.txt\n"}, {"t.txt", "7\r\n"}, {"pw.txt", "s3cret\n"}},
       {"--node", (dir_ / "value-sources/n.properties").string(), "--set-env", "SMTPUser=FLOWRUN_TEST_USER",
        "--set-file", "SMTPPassword=" + (dir_ / "value-sources/pw.txt").string(), "--list-attributes"},
       0, "\nTimeoutSeconds=7\nSMTPUser=ann\nSMTPPassword=********\n", "", ""},
      {"unset-variable", {}, {"--set-env", "SMTPPassword=FLOWRUN_TEST_UNSET"}, 2,
       "--set-env SMTPPassword: the environment has no variable FLOWRUN_TEST_UNSET", "", ""},
      {"set-typo", {}, {"--set", "SMTPPassword:s3cret"}, 2, "--set wants NAME=VALUE, not \"SMTPPassword...\"", "", ""},
      // Settings that cannot work: one line before the first message, none of its lines.
      {"settings", {{"g.xml", good}}, {"--set", "Security=STARTTLS"}, 2,
       "flowrun: settings: Security must be empty, starttls or tls\n", "", ""},
      {"ca-file", {{"g.xml", good}, {"ca.pem", "not a certificate"}},
       {"--set", "Security=tls", "--set", "TLSCAFile=" + (dir_ / "ca-file/ca.pem").string()}, 2,
       "flowrun: settings: TLS settings cannot be used: TLSCAFile " + (dir_ / "ca-file/ca.pem").string() +
           ": no certificate in it", "", ""},
      {"unverified-login", {{"g.xml", good}}, {"--set", "Security=starttls", "--set", "TLSVerify=no", "--set",
                                               "SMTPUser=ann", "--set", "SMTPPassword=s3cret"},
       1, "SMTPUser and SMTPPassword go to a server whose certificate is not checked", "", ""},
  };
  ::setenv("FLOWRUN_TEST_USER", "ann", 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const auto& [name, text] : row.files) write(std::string(row.name) + "/" + name, text);
    std::vector<std::string> args = serverArgs();
    args.insert(args.end(), row.args.begin(), row.args.end());
    const fs::path out = dir_ / (std::string(row.name) + "-out");
    if (row.strictXml) args.insert(args.end(), {"--out", out.string()});
    if (!row.files.empty()) args.push_back((dir_ / row.name).string());
    const std::size_t before = server_->mails().size();
    const auto start = std::chrono::steady_clock::now();
    Invocation run = flowrun(args);
    if (row.seconds > 0) {
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(row.seconds));
    }
    EXPECT_EQ(run.status, row.status) << run.out << run.err;
    EXPECT_THAT(run.err + run.out, HasSubstr(row.said));
    EXPECT_EQ((run.err + run.out).find('\x1b'), std::string::npos) << "a raw control character was printed";
    EXPECT_THAT(run.err + run.out, Not(HasSubstr("s3cret")));
    if (row.said.starts_with("flowrun: settings:")) {
      EXPECT_EQ(run.out, "");
    }
    if (row.strictXml) {
      std::string files;
      for (const auto& file : fs::recursive_directory_iterator(out))
        if (file.is_regular_file()) files += " " + quote(file.path().string());
      ASSERT_FALSE(files.empty());
      EXPECT_EQ(std::system(("/usr/bin/python3 -c 'import sys, xml.etree.ElementTree as x; [x.parse(f) for f in "
                             "sys.argv[1:]]'" + files).c_str()), 0);
    }
    if (row.subject.empty()) continue;
    auto mails = server_->waitForMails(before + 1);
    ASSERT_GT(mails.size(), before);
    EXPECT_EQ(mails.back().subject, row.subject);
    EXPECT_THAT(mails.back().body, HasSubstr(row.body));
  }
}

// A dry run shows the envelope and the mail byte for byte as a real server stores it, with
// the settings that would take it elsewhere, or hold it back, set aside.
TEST_F(RunnerTest, DryRunShowsWhatTheServerStores) {
  fs::path message = write("m.xml", "<Mail><To>ann@example.com</To><Bcc>audit@example.com</Bcc><Subject>dry"
                                    "</Subject><Body><L>.lone dot next</L><L>.</L><L>\tend</L></Body></Mail>");
  std::vector<std::string> args = serverArgs();
  args.insert(args.end(), {"--put-time", "2001-03-07 09:05:03", "--msgid", std::string(48, '1'), message.string()});
  ASSERT_EQ(flowrun(args).status, 0);
  const auto stored = newMails(1).at(0);
  args.insert(args.end(), {"--dry-run", "--set", "Security=tls", "--set", "SMTPPassword=s3cret", "--set",
                           "MaxMailsPerMinute=1", "--set", "RetryTransient=3", "--set", "FailureDetail=yes"});
  Invocation dry = flowrun(args);
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_THAT(dry.err, HasSubstr("Security, SMTPPassword not used"));
  // The limits would only slow a run that sends nothing; what a flow gets stays.
  EXPECT_THAT(dry.err, HasSubstr("MaxMailsPerMinute, RetryTransient not used"));
  EXPECT_THAT(dry.err, Not(HasSubstr("FailureDetail")));
  EXPECT_THAT(dry.out, HasSubstr("m.xml -> out\n  MAIL FROM:<" + stored.mailFrom + ">\n  RCPT TO:<ann@example.com>\n"
                                 "  RCPT TO:<audit@example.com>\n  DATA: " + std::to_string(stored.data.size()) + " bytes"));
  std::string shown, line;
  for (std::istringstream lines(dry.out); std::getline(lines, line);)
    if (line.starts_with("  | ")) shown += line.substr(4) + "\r\n";
  EXPECT_EQ(shown, stored.data);
  EXPECT_EQ(server_->mails().size(), before_ + 1);
  // Each --repeat round is a message of its own, whatever tree the runner sends it on.
  Invocation twice = flowrun({"--dry-run", "--repeat", "2", message.string()});
  std::vector<std::string> ids;
  for (std::istringstream lines(twice.out); std::getline(lines, line);)
    if (line.starts_with("  | Message-ID: ")) ids.push_back(line);
  ASSERT_EQ(ids.size(), 2u) << twice.out;
  EXPECT_NE(ids[0], ids[1]);
}

// --trace over STARTTLS and AUTH: line for line what the server read and answered (the mail
// data summed up), over both tries of a mail it turned away once, credentials as "****", no
// form of the password anywhere.
TEST_F(RunnerTest, TraceIsTheDialogueTheServerSaw) {
  const testsupport::Certificates certs;
  const fs::path transcript = dir_ / "transcript.jsonl";
  testsupport::SmtpTestServer tls({"--cert", certs.ca, "--key", certs.key, "--auth", "ann:s3cret-pw", "--transcript",
                                   transcript.string(), "--busy-mails", "1"});
  Invocation run = flowrun({"--trace", "--set", "RetryTransient=1", "--set", "RetryMaxSeconds=0.05", "--set",
                            "Receipt=yes", "--server", "127.0.0.1:" + std::to_string(tls.port()), "--set",
                            "SMTPFrom=runner@example.com", "--set", "Security=starttls", "--set", "TLSCAFile=" + certs.ca,
                            "--set", "SMTPUser=ann", "--set-file", "SMTPPassword=" + write("pw", "s3cret-pw").string(),
                            write("m.xml", "<Mail><To>a@example.com</To><Body>.dot</Body></Mail>").string()});
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> saw, traced;
  std::string line;
  bool data = false;
  for (std::istringstream lines(slurp(transcript)); std::getline(lines, line);) {
    const auto entry = nlohmann::json::parse(line);
    const std::string text = entry["line"];
    if (entry["side"] == "server") data = text.starts_with("354");
    if (entry["side"] == "client" && data && text != ".") continue;
    saw.push_back((entry["side"] == "server" ? "<- " : "-> ") + text);
  }
  for (std::istringstream lines(run.out); std::getline(lines, line);)
    if (line.starts_with("  -> ") || line.starts_with("  <- ")) traced.push_back(line.substr(2));
  ASSERT_EQ(traced.size(), saw.size()) << run.out;
  for (std::size_t i = 0; i < saw.size(); ++i) {
    const std::size_t stars = traced[i].find("****");
    EXPECT_EQ(traced[i].substr(0, stars), saw[i].substr(0, stars)) << i;
    EXPECT_EQ(stars == std::string::npos, saw[i].starts_with("<-") || !saw[i].starts_with("-> AUTH")) << saw[i];
  }
  EXPECT_THAT(run.out, HasSubstr("  -> AUTH PLAIN ****\n  <- 235"));
  EXPECT_THAT(run.out, HasSubstr("m.xml -> out (2 attempts)\n  == connection 1 to "));
  EXPECT_THAT(run.out, HasSubstr("  <- 421 4.7.0 try again later, closing\n  == connection 2 to "));
  EXPECT_THAT(run.out, HasSubstr("  == mail data sent: "));
  for (const char* secret : {"s3cret", "czNjcmV0", "AGFubgBzM2NyZXQtcHc="}) EXPECT_THAT(run.out + run.err, Not(HasSubstr(secret)));
}

// A message that cannot be written (here past a file size limit) is said, even with -q, and is
// not success; no partial file is left behind.
TEST_F(RunnerTest, OutputThatCannotBeWrittenIsNotSuccess) {
  fs::path message = write("big.xml", "<Mail><To>a@example.com</To><Body>" + std::string(4000, 'x') + "</Body></Mail>");
  std::vector<std::string> args = serverArgs();
  args.insert(args.end(), {"-q", "--out", (dir_ / "o").string(), message.string()});
  Invocation run = flowrun(args, "", "ulimit -f 2; ");
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr("big.xml: cannot write " + (dir_ / "o" / "out" / "big.xml").string() + ": File too large"));
  EXPECT_THAT(run.out, HasSubstr("1 out, 0 failure, 0 dropped, 0 ended; "));
  EXPECT_FALSE(fs::exists(dir_ / "o" / "out" / "big.xml"));
}

// SIGINT mid-run: the evaluations under way finish and count, the summary is printed, and its
// "out" count is exactly what the server stored; every message not run is in notrun/, and a
// retry of the folder sends exactly those.
TEST_F(RunnerTest, InterruptPrintsASummaryOfWhatTheServerHas) {
  std::vector<std::string> args = {FLOWRUN, "-q", "--threads", "2", "--repeat", "1000", "--out", (dir_ / "o").string()};
  for (const std::string& a : serverArgs()) args.push_back(a);
  args.push_back(write("m.xml", "<Mail><To>a@example.com</To><Subject>stop</Subject></Mail>").string());
  testfiles::Child runner(args, dir_ / "stdout.txt", false);
  ASSERT_GT(runner.pid(), 0);
  server_->waitForMails(before_ + 20);
  EXPECT_EQ(runner.end(SIGINT), 130);
  const std::string out = slurp(dir_ / "stdout.txt");
  std::size_t total = 0, delivered = 0;
  ASSERT_EQ(std::sscanf(out.c_str(), "%zu messages: %zu out", &total, &delivered), 2) << out;
  EXPECT_GE(delivered, 20u);
  EXPECT_LT(total, 1000u);
  EXPECT_THAT(out, HasSubstr(" not run (written to "));
  EXPECT_EQ(server_->mails().size() - before_, delivered);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "o" / "notrun"), {}), 1000 - static_cast<long>(total));
  std::vector<std::string> retry = serverArgs();
  retry.insert(retry.end(), {"-q", "--retry", (dir_ / "o").string()});
  EXPECT_THAT(flowrun(retry).out, HasSubstr(": " + std::to_string(1000 - total) + " out, 0 failure"));
  EXPECT_EQ(server_->mails().size() - before_, 1000 - total + delivered);
}

TEST_F(RunnerTest, AttributesStandardInputAndDescriptor) {
  fs::path properties = write("node.properties", "# a comment\nServerName = 127.0.0.1\n\nSMTPFullFrom=Runner\n");
  Invocation list = flowrun({"--node", properties.string(), "--set", "ServerPort=2525", "--set",
                             "SMTPPassword=s3cret", "--list-attributes"});
  EXPECT_EQ(list.status, 0);
  for (const char* said : {"\nServerName=127.0.0.1\nServerPort=2525\n", "\nSMTPFullFrom=Runner\n", "\nSMTPPassword=********\n"})
    EXPECT_THAT(list.out, HasSubstr(said));
  // The node lists its attributes in the schema's order, and the README's tables say what the
  // schema says: each attribute in that order with what an empty value means and whether it is
  // secret, each field with its Mail form.
  std::string schemaNames, listed, documented, fields, documentedFields, line;
  for (const schema::AttributeRow& a : schema::kAttributes) schemaNames += std::string(a.name) + " ";
  for (std::istringstream lines(list.out); std::getline(lines, line);) listed += line.substr(0, line.find('=')) + " ";
  EXPECT_EQ(listed, schemaNames);
  for (const auto& cells : readmeTable("| Attribute | Empty means | What it holds |")) {
    ASSERT_EQ(cells.size(), 3u);
    std::istringstream names(ticked(cells[0]));
    for (std::string name; names >> name;) {
      documented += name + " ";
      const schema::AttributeRow* a = schema::attributeNamed(name);
      ASSERT_NE(a, nullptr) << name;
      EXPECT_EQ(ticked(cells[1]), a->whenEmpty) << name;
      EXPECT_EQ(cells[2].find("secret") != std::string::npos, a->secret) << name;
    }
  }
  EXPECT_EQ(documented, schemaNames);
  for (const schema::FieldRow& f : schema::kFields) fields += std::string(f.name) + " " + f.mailName + " ";
  for (const auto& cells : readmeTable("| Field | Also | Gives |")) documentedFields += ticked(cells[0]) + " " + ticked(cells[1]) + " ";
  EXPECT_EQ(documentedFields, fields);
  // So does --help, without the parser's type names and ranges.
  Invocation help = flowrun({"--help"});
  for (const schema::AttributeRow& a : schema::kAttributes) EXPECT_THAT(help.out, HasSubstr(a.name));
  EXPECT_THAT(help.out, AllOf(HasSubstr("130 stopped by SIGINT"), Not(::testing::ContainsRegex("UINT|TEXT|\\[1 - "))));

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
}

}  // namespace
