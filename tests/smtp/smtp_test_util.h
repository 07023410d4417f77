// Shared helpers of the SMTP client's tests: one mail's values with sensible defaults, sending
// it (plainly or with the node's secure-submission settings), and the mail data's two halves.
#ifndef TESTS_SMTP_SMTP_TEST_UTIL_H
#define TESTS_SMTP_SMTP_TEST_UTIL_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct SubmitSettings;

namespace smtptest {

struct Mail {
  std::string from = "Sender Name <sender@example.com>";
  std::string to = "rcpt@example.com";
  std::string cc, bcc;
  std::string subject = "Hello";
  std::string date = "06 Dec 2026 12:00:00 GMT";
  std::string messageId;
  std::string body = "Body\n";
  signed char priority = 3;
};

struct Result {
  int code;
  std::string text;
};

// The node's secure-submission attributes (Security, TLSVerify, ...), missing ones empty.
using Attributes = std::map<std::string, std::string>;
using Settings = std::shared_ptr<::SubmitSettings>;  // shared: the type stays incomplete here
Settings settingsOf(const Attributes& attributes);

// Through SendEmailMessage, or with `settings` through the node's way in, with their options.
Result send(uint16_t port, const Mail& mail, const char* host = "127.0.0.1", const Settings& settings = nullptr);

// This machine's name, as HELO and Message-ID use it.
std::string localHost();

// The mail data split at the empty line that ends the header block.
std::string headerOf(const std::string& data);
std::string bodyOf(const std::string& data);

}  // namespace smtptest

#endif
