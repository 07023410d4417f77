// Shared helpers of the SMTP client's tests: one mail's values with sensible defaults, and
// sending it (plainly or with the node's secure-submission settings).
#ifndef TESTS_SMTP_SMTP_TEST_UTIL_H
#define TESTS_SMTP_SMTP_TEST_UTIL_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "SubmitSettings.h"

namespace smtptest {

struct Mail {
  std::string from = "Sender Name <sender@example.com>";
  std::string to = "rcpt@example.com";
  std::string cc = {}, bcc = {};
  std::string subject = "Hello";
  std::string date = "06 Dec 2026 12:00:00 GMT";
  std::string messageId = {};
  std::string body = "Body\n";
  signed char priority = 3;
  std::string accessToken = {};
};

struct Result {
  int code;
  std::string text;
  const char* raw;  // the text as handed out: valid until this thread's next call
  int step;         // of the dialogue, where the mail ended
  int attempts;
  std::string tls;        // the protocol it went over, if TLS
  std::string recipient;  // the one a RCPT TO refusal refused
};

// The node's secure-submission attributes (Security, TLSVerify, ...), missing ones empty.
using Attributes = std::map<std::string, std::string>;
using Settings = std::unique_ptr<::SubmitSettings>;
inline Settings settingsOf(const Attributes& attributes, smtp::TraceSink trace = nullptr) {
  return makeSubmitSettings(
      [&](const char* name) {
        const auto found = attributes.find(name);
        return found == attributes.end() ? std::string() : found->second;
      },
      trace);
}

// As SendEmailMessage does, or with the options of `settings` (the node's way in).
inline Result send(uint16_t port, const Mail& m, const char* host = "127.0.0.1", const Settings& settings = nullptr) {
  const smtp::MailRequest request{.serverName = smtp::orEmpty(host), .port = port, .from = m.from, .to = m.to, .cc = m.cc,
                                  .bcc = m.bcc, .subject = m.subject, .date = m.date, .messageId = m.messageId,
                                  .body = m.body, .priority = m.priority, .accessToken = m.accessToken};
  const smtp::Outcome o = smtp::sendEmail(settings ? settings->options : smtp::kPlainSubmission, request);
  return {o.code, o.text != nullptr ? o.text : "<null>", o.text, o.step, o.attempts, o.tlsVersion ? o.tlsVersion : "",
          std::string(o.recipient)};
}

// `text` with "{port}" made the port a test's server got.
inline std::string atPort(std::string text, uint16_t port) {
  if (const auto at = text.find("{port}"); at != std::string::npos) text.replace(at, 6, std::to_string(port));
  return text;
}

}  // namespace smtptest

#endif
