// Test fixture around smtp_server.py: a real aiosmtpd server on a free loopback port, started by
// the constructor and stopped (by its pid) in the destructor, with the mails it recorded.
// Behaviour triggers, carried by the recipient's local part: "refuse..." is refused with 550,
// "drop..." closes the connection unanswered.
#ifndef TESTS_SUPPORT_SMTP_TEST_SERVER_H
#define TESTS_SUPPORT_SMTP_TEST_SERVER_H

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

struct ReceivedMail {
  int session = 0;  // the connection it came over, numbered from 1
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
};

class SmtpTestServer {
 public:
  // With more of smtp_server.py's options: "--cert", "--implicit-tls", "--auth", ...
  explicit SmtpTestServer(std::vector<std::string> options = {});
  ~SmtpTestServer();
  SmtpTestServer(const SmtpTestServer&) = delete;
  SmtpTestServer& operator=(const SmtpTestServer&) = delete;

  uint16_t port() const { return port_; }
  // Every mail recorded so far. Each one is checked for strict-policy defects (a test failure
  // names them) when first read, unless allowDefects(true) holds then.
  std::vector<ReceivedMail> mails();
  // Waits (up to 10 s) until at least n mails are recorded.
  std::vector<ReceivedMail> waitForMails(std::size_t n);
  // For a test that sends a defective mail on purpose.
  void allowDefects(bool allow) { allowDefects_ = allow; }

 private:
  void read();
  void stop() noexcept;

  std::string dir_, record_;
  std::unique_ptr<testfiles::Child> server_;
  int stdinFd_ = -1;
  uint16_t port_ = 0;
  bool allowDefects_ = false;
  std::size_t judged_ = 0;  // mails already checked (or let pass)
  std::vector<ReceivedMail> read_;  // the record up to offset_, parsed
  std::streamoff offset_ = 0;
};

// A self-signed server certificate for localhost and 127.0.0.1 (not ::1, so that address fails
// only by its name), made with the openssl command in a temporary folder removed with the
// object; the certificate is its own CA file.
struct Certificates {
  const std::string dir, ca, key;
  Certificates();
  ~Certificates();
};

// Standard base64 decoding (the server records DATA bytes that way).
std::string base64Decode(const std::string& text);
// A new folder "/tmp/STEM-XXXXXX".
std::string temporaryFolder(const char* stem);

}  // namespace testsupport

#endif
