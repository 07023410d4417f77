// Starts smtp_server.py and token_server.py with /usr/bin/python3 on free loopback ports, reads
// the mail server's JSON-lines record back into ReceivedMail values and the token endpoint's
// state file, and stops each by pid; stdin is a pipe, so a server also goes when the test does.
#include "smtp_test_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "files.h"

namespace testsupport {

std::string base64Decode(const std::string& text) {
  static const std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    const std::size_t v = alphabet.find(c);
    if (v == std::string_view::npos) continue;  // padding and line breaks
    bits = bits << 6 | static_cast<unsigned>(v);
    if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
  }
  return out;
}

Certificates::Certificates()
    : dir(temporaryFolder("smtp-certs")), ca(dir + "/cert.pem"), key(dir + "/key.pem"), client(dir + "/client.pem"),
      clientKey(dir + "/client-key.pem") {
  const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
                           "subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout key.pem -out cert.pem >/dev/null 2>&1 && "
                           "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=client -keyout client-key.pem "
                           "-out client.pem >/dev/null 2>&1 && openssl pkey -in client-key.pem -aes256 -passout pass:pw "
                           "-out encrypted-key.pem";
  if (std::system(("cd " + dir + " && " + make).c_str()) != 0) throw std::runtime_error("openssl failed");
}

Certificates::~Certificates() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::string temporaryFolder(const char* stem) {
  std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

PythonServer::PythonServer(const std::string& script, std::vector<std::string> options) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  options.insert(options.begin(), {"/usr/bin/python3", script});
  child_ = std::make_unique<testfiles::Child>(options, in[0], out[1]);
  ::close(in[0]);
  ::close(out[1]);
  stdinFd_ = in[1];
  // The server's first line is "PORT <n>", once it listens; each byte waited for within 20 s.
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  for (char c; child_->pid() > 0 && line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0 && ::read(out[0], &c, 1) == 1;)
    line += c;
  ::close(out[0]);
  std::sscanf(line.c_str(), "PORT %hu\n", &port_);
  if (port_ == 0) {
    child_.reset();
    ::close(stdinFd_);
    throw std::runtime_error(script + " did not report its port: " + line);
  }
}

PythonServer::~PythonServer() {
  child_.reset();  // killed: it has nothing left to save
  if (stdinFd_ != -1) ::close(stdinFd_);
  stdinFd_ = -1;
}

SmtpTestServer::SmtpTestServer(std::vector<std::string> options)
    : dir_(temporaryFolder("smtp-test")), record_(dir_ + "/mails.jsonl") {
  options.insert(options.begin(), {"--host", "127.0.0.1", "--record", record_});
  process_ = std::make_unique<PythonServer>(SUPPORT_DIR "/smtp_server.py", std::move(options));
}

SmtpTestServer::~SmtpTestServer() {
  process_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

TokenTestServer::TokenTestServer(const std::string& dir, std::vector<std::string> options) : state_(dir + "/state.json") {
  options.insert(options.begin(), {"--cert", dir + "/cert.pem", "--key", dir + "/key.pem", "--state", state_});
  process_ = std::make_unique<PythonServer>(SUPPORT_DIR "/token_server.py", std::move(options));
}

std::vector<std::array<std::string, 3>> TokenTestServer::grants() const {
  std::ifstream in(state_);
  return nlohmann::json::parse(in, nullptr, false).value("grants", std::vector<std::array<std::string, 3>>{});
}

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(ReceivedMail::Part, type, filename, bytes)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ReceivedMail::Auth, mechanism, user, token, inlined)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(ReceivedMail, session, open, at, helo, auth, mailFrom, rcptTos, data, defects, from, to, cc,
                                   subject, messageId, body, headers, parts)

// The record only grows: each call parses the lines added since the last one (a test waiting
// for large mails would otherwise parse every earlier one again on each poll).
void SmtpTestServer::read() {
  std::ifstream in(record_, std::ios::binary);
  in.seekg(offset_);
  for (std::string line; std::getline(in, line) && !in.eof();) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded()) break;  // a line still being written
    offset_ += static_cast<std::streamoff>(line.size()) + 1;
    ReceivedMail& m = read_.emplace_back(j.get<ReceivedMail>());
    m.data = base64Decode(m.data);  // bytes travel as base64
    for (auto& part : m.parts) part.bytes = base64Decode(part.bytes);
  }
}

std::vector<ReceivedMail> SmtpTestServer::mails() {
  read();
  const std::vector<ReceivedMail>& all = read_;
  // Each mail is judged once, under the strictness in force when it is first read, so a test
  // that relaxes it for its own mails leaves every other test's mails strict.
  for (; judged_ < all.size(); ++judged_)
    EXPECT_TRUE(allowDefects_ || all[judged_].defects.empty()) << "mail with defects: " << ::testing::PrintToString(
        all[judged_].defects) << "\n--- data ---\n" << all[judged_].data.substr(0, 2000);
  return all;
}

std::vector<ReceivedMail> SmtpTestServer::waitForMails(std::size_t n) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (read(); read_.size() < n && std::chrono::steady_clock::now() < deadline; read())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return mails();
}

}  // namespace testsupport
