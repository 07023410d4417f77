// The SMTP client's entry point: sets up the session, runs one mail's dialogue and reports a
// code and a text; never lets an exception out. The node's way in takes the secure-submission
// options; the exported one sends with none. Also the month abbreviations of date texts.
#include "SendMessage.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "SimpleSMTP/smtp.h"
#include "SimpleSMTP/smtp_internal.h"
#include "SimpleSMTP/smtp_submit.h"

namespace {
const char* const kShortName[13] = {"   ", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

namespace smtp {

const char* sendEmail(const SubmitOptions& options, const char* serverName, uint16_t port,
                      std::string_view from, std::string_view to, std::string_view cc,
                      std::string_view bcc, std::string_view subject, std::string_view date,
                      std::string_view messageId, std::string_view body, signed char priority,
                      const richmail::RichMail* rich, int32_t* code) noexcept {
  int32_t ignored = 0;
  if (code == nullptr) code = &ignored;
  try {
    if (options.refusal != 0) {
      // A setting the node cannot use: nothing is sent, never in clear instead.
      thread_local std::string text;
      text = SMTPErrorString(options.refusal);
      if (!options.refusalDetail.empty()) text.append(": ").append(options.refusalDetail);
      *code = options.refusal;
      return text.c_str();
    }
    // With kept connections the pool looks the name up only when it opens a new one.
    int error = 0;
    std::unique_ptr<SmtpSession, decltype(&std::free)> session(
        options.pool != nullptr ? newSession(port, &error) : SmtpInit(serverName, port, &error), &std::free);
    if (!session) {
      *code = error;
      return SMTPErrorString(error);
    }
    const char* text = "";
    int rc = sendMessage(session.get(), options, orEmpty(serverName), from, to, cc, bcc, subject, date,
                         messageId, body, priority, rich, &text);
    if (rc == 0) rc = SmtpCleanUp();
    *code = rc;
    return rc == 0 ? "" : text;
  } catch (...) {
    *code = SMTP_TCPIP_NO_MEMORY;
    return SMTPErrorString(SMTP_TCPIP_NO_MEMORY);
  }
}

}  // namespace smtp

extern "C" {

SM_API const char* SendEmailMessage(const char* serverName, uint16_t port, const char* from,
                                    const char* to, const char* cc, const char* bcc,
                                    const char* subject, const char* date, const char* messageId,
                                    const char* body, signed char priority, int32_t* code) {
  using smtp::orEmpty;
  return smtp::sendEmail(smtp::kPlainSubmission, serverName, port, orEmpty(from), orEmpty(to), orEmpty(cc),
                         orEmpty(bcc), orEmpty(subject), orEmpty(date), orEmpty(messageId),
                         orEmpty(body), priority, nullptr, code);
}

SM_API const char* MonthShortName(int month) {
  return kShortName[month >= 1 && month <= 12 ? month : 0];
}

}  // extern "C"
