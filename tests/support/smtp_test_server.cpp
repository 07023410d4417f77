// Starts smtp_server.py with /usr/bin/python3 on a free loopback port, reads its JSON-lines
// record back into ReceivedMail values, and stops it by pid; stdin is a pipe, so the server also
// goes when the test process dies.
#include "smtp_test_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

// Reads the "PORT <n>" line the server prints once it listens.
uint16_t readPort(int fd, std::chrono::milliseconds timeout) {
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char chunk[256];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    seen.append(chunk, static_cast<std::size_t>(n));
    const std::size_t at = seen.find("PORT ");
    const std::size_t end = seen.find('\n', at == std::string::npos ? 0 : at);
    if (at != std::string::npos && end != std::string::npos)
      return static_cast<uint16_t>(std::stoi(seen.substr(at + 5, end - at - 5)));
  }
  throw std::runtime_error("smtp_server.py did not report its port: " + seen);
}

std::vector<std::string> strings(const nlohmann::json& array) {
  std::vector<std::string> out;
  for (const auto& item : array) out.push_back(item.get<std::string>());
  return out;
}

}  // namespace

std::string base64Decode(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else continue;  // padding and line breaks
    bits = bits << 6 | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>(bits >> count & 0xFF);
    }
  }
  return out;
}

SmtpTestServer::SmtpTestServer(std::vector<std::string> options) {
  char pattern[] = "/tmp/smtp-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  record_ = dir_ + "/mails.jsonl";
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args = {"/usr/bin/python3", SMTP_SERVER_SCRIPT, "--host", "127.0.0.1",
                                   "--port", "0", "--record", record_};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  stdinFd_ = in[1];
  if (spawned != 0) {
    ::close(out[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start /usr/bin/python3");
  }
  try {
    port_ = readPort(out[0], std::chrono::seconds(20));
  } catch (...) {
    ::close(out[0]);
    stop();
    throw;
  }
  ::close(out[0]);
}

SmtpTestServer::~SmtpTestServer() { stop(); }

void SmtpTestServer::stop() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (stdinFd_ != -1) ::close(stdinFd_);
  stdinFd_ = -1;
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  dir_.clear();
}

uint16_t SmtpTestServer::port() const { return port_; }

std::vector<ReceivedMail> SmtpTestServer::read() const {
  std::vector<ReceivedMail> mails;
  std::ifstream in(record_);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    nlohmann::json j;
    try {
      j = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception&) {
      break;  // a line still being written
    }
    ReceivedMail m;
    m.session = j.value("session", 0);
    m.helo = j.value("helo", "");
    m.mailFrom = j.value("mail_from", "");
    m.rcptTos = strings(j["rcpt_tos"]);
    m.tls = j.value("tls", false);
    m.login = j.value("login", "");
    m.data = base64Decode(j.value("data_b64", ""));
    m.defects = strings(j["defects"]);
    m.from = j.value("from", "");
    m.to = j.value("to", "");
    m.cc = j.value("cc", "");
    m.subject = j.value("subject", "");
    m.messageId = j.value("message_id", "");
    m.date = j.value("date", "");
    m.body = j.value("body", "");
    for (const auto& h : j["headers"]) m.headers.emplace_back(h[0].get<std::string>(), h[1].get<std::string>());
    for (const auto& p : j["parts"])
      m.parts.push_back({p[0].get<std::string>(), p[1].get<std::string>(), base64Decode(p[2].get<std::string>())});
    mails.push_back(std::move(m));
  }
  return mails;
}

std::vector<ReceivedMail> SmtpTestServer::mails() {
  std::vector<ReceivedMail> all = read();
  // Each mail is judged once, under the strictness in force when it is first read, so a test
  // that relaxes it for its own mails leaves every other test's mails strict.
  for (; judged_ < all.size(); ++judged_) {
    const ReceivedMail& m = all[judged_];
    if (allowDefects_) continue;
    std::string list;
    for (const auto& d : m.defects) list += "\n  " + d;
    EXPECT_TRUE(m.defects.empty()) << "mail with defects:" << list << "\n--- data ---\n"
                                   << m.data.substr(0, 2000);
  }
  return all;
}

TestCertificates::TestCertificates() {
  char pattern[] = "/tmp/smtp-certs-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  // A CA, then per name: a key and request, signed by the CA with the name's subjectAltName.
  std::string script = "cd " + dir_ + " && openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=TestCA"
                       " -days 2 -keyout ca.key -out ca.pem";
  for (const auto& [name, alt] : {std::pair{"localhost", "DNS:localhost,IP:127.0.0.1,IP:::1"},
                                  std::pair{"other", "DNS:other.example"}}) {
    script += std::string(" && openssl req -new -newkey rsa:2048 -nodes -subj /CN=") + name + " -keyout " +
              name + ".key -out " + name + ".csr && echo subjectAltName=" + alt + " > " + name +
              ".ext && openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial"
              " -days 2 -extfile " + name + ".ext -out " + name + ".pem";
  }
  script = "(" + script + ") >/dev/null 2>&1";
  if (std::system(script.c_str()) != 0) throw std::runtime_error("openssl could not make the test certificates");
}

TestCertificates::~TestCertificates() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> TestCertificates::serverOptions(bool otherName) const {
  const std::string name = otherName ? "other" : "localhost";
  return {"--cert", dir_ + "/" + name + ".pem", "--key", dir_ + "/" + name + ".key"};
}

std::vector<ReceivedMail> SmtpTestServer::waitForMails(std::size_t n,
                                                        std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (read().size() < n && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return mails();
}

}  // namespace testsupport
