// Test fixtures around smtp_server.py (a real aiosmtpd server, with the mails it recorded) and
// token_server.py (a real OAuth2 token endpoint over TLS, with what it was asked), each on a free
// loopback port, started by the constructor and stopped (by its pid) in the destructor.
// Behaviour triggers, carried by the recipient's local part: "refuse..." is refused with 550,
// "drop..." closes the connection unanswered.
#ifndef TESTS_SUPPORT_SMTP_TEST_SERVER_H
#define TESTS_SUPPORT_SMTP_TEST_SERVER_H

#include <array>
#include <cstdint>
#include <ios>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testfiles {
class Child;
}

namespace testsupport {

// One of the support scripts run by /usr/bin/python3 with `options`, once it has printed
// "PORT <n>"; stdin is a pipe, so it also goes when the test process dies.
class PythonServer {
 public:
  PythonServer(const std::string& script, std::vector<std::string> options);
  ~PythonServer();  // no copies: the child is owned once
  uint16_t port() const { return port_; }

 private:
  std::unique_ptr<testfiles::Child> child_;
  int stdinFd_ = -1;
  uint16_t port_ = 0;
};

struct ReceivedMail {
  int session = 0;  // the connection it came over, numbered from 1
  int open = 0;     // connections open when it was taken in
  double at = 0;    // the server's clock, in seconds, at its accepted MAIL FROM
  std::string helo, mailFrom;
  std::vector<std::string> rcptTos;
  std::string data;                   // DATA bytes as the server stored them (CR LF line ends)
  std::vector<std::string> defects;   // from email.policy.strict; empty = clean
  std::string from, to, cc, subject, messageId, body;  // decoded by Python's email package
  std::vector<std::pair<std::string, std::string>> headers;  // every header, name and decoded value
  struct Part {  // bytes: the transfer encoding undone
    std::string type, filename, bytes;
  };
  std::vector<Part> parts;  // the leaves of a multipart mail, in order
  struct Auth {  // how the session authenticated with a bearer token (else empty)
    std::string mechanism, user, token;
    bool inlined = false;  // the token came on the AUTH line, not after an empty 334
  } auth;
};

class SmtpTestServer {
 public:
  // With more of smtp_server.py's options: "--cert", "--implicit-tls", "--auth", ...
  explicit SmtpTestServer(std::vector<std::string> options = {});
  ~SmtpTestServer();
  SmtpTestServer(const SmtpTestServer&) = delete;
  SmtpTestServer& operator=(const SmtpTestServer&) = delete;

  uint16_t port() const { return process_->port(); }
  // Every mail recorded so far. Each one is checked for strict-policy defects (a test failure
  // names them) when first read, unless allowDefects(true) holds then.
  std::vector<ReceivedMail> mails();
  // Waits (up to 10 s) until at least n mails are recorded.
  std::vector<ReceivedMail> waitForMails(std::size_t n);
  // For a test that sends a defective mail on purpose.
  void allowDefects(bool allow) { allowDefects_ = allow; }

 private:
  void read();

  std::string dir_, record_;
  std::unique_ptr<PythonServer> process_;
  bool allowDefects_ = false;
  std::size_t judged_ = 0;  // mails already checked (or let pass)
  std::vector<ReceivedMail> read_;  // the record up to offset_, parsed
  std::streamoff offset_ = 0;
};

// token_server.py with cert.pem and key.pem of the folder `dir`, where its state file goes too,
// and more of its options ("--client", "--lifetime", "--rotate", "--error", ...); stateFile() is
// what smtp_server.py --oauth reads.
class TokenTestServer {
 public:
  TokenTestServer(const std::string& dir, std::vector<std::string> options);
  std::string url() const { return "https://127.0.0.1:" + std::to_string(process_->port()) + "/token"; }
  const std::string& stateFile() const { return state_; }
  // Every request so far: its grant_type, refresh_token and scope.
  std::vector<std::array<std::string, 3>> grants() const;

 private:
  std::string state_;
  std::unique_ptr<PythonServer> process_;
};

// A self-signed server certificate for localhost and 127.0.0.1 (not ::1, so that address fails
// only by its name), made with the openssl command in a temporary folder removed with the
// object; the certificate is its own CA file. Also a client certificate (its own CA too) with
// its key, and that key under a passphrase (encrypted-key.pem).
struct Certificates {
  const std::string dir, ca, key, client, clientKey;
  Certificates();
  ~Certificates();
};

// Standard base64 decoding (the server records DATA bytes that way).
std::string base64Decode(const std::string& text);
// A new folder "/tmp/STEM-XXXXXX".
std::string temporaryFolder(const char* stem);

}  // namespace testsupport

#endif
