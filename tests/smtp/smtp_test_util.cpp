// Helpers shared by the SMTP client's test files.
#include "smtp_test_util.h"

#include <unistd.h>

#include "SendMessage.h"
#include "SubmitSettings.h"

namespace smtptest {

Settings settingsOf(const Attributes& attributes) {
  return makeSubmitSettings([&](const char* name) {
    const auto found = attributes.find(name);
    return found == attributes.end() ? std::string() : found->second;
  });
}

Result send(uint16_t port, const Mail& m, const char* host, const Settings& settings) {
  int32_t code = -12345;
  const char* text =
      settings ? smtp::sendEmail(settings->options, host, port, m.from.c_str(), m.to.c_str(), m.cc.c_str(), m.bcc.c_str(),
                                 m.subject.c_str(), m.date.c_str(), m.messageId.c_str(), m.body.c_str(), m.priority,
                                 nullptr, &code)
               : SendEmailMessage(host, port, m.from.c_str(), m.to.c_str(), m.cc.c_str(), m.bcc.c_str(), m.subject.c_str(),
                                  m.date.c_str(), m.messageId.c_str(), m.body.c_str(), m.priority, &code);
  return {code, text != nullptr ? text : "<null>"};
}

std::string localHost() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

std::string headerOf(const std::string& data) { return data.substr(0, data.find("\r\n\r\n") + 2); }

std::string bodyOf(const std::string& data) {
  const std::size_t end = data.find("\r\n\r\n");
  return end == std::string::npos ? std::string{} : data.substr(end + 4);
}

}  // namespace smtptest
