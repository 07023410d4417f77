// The SMTP client's exported entry point, over the hidden entry (SimpleSMTP/smtp_submit.cpp) with
// no secure-submission options; also the month abbreviations of date texts.
#include "SendMessage.h"

#include "SimpleSMTP/smtp_submit.h"

namespace {
const char* const kShortName[13] = {"   ", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

extern "C" {

SM_API const char* SendEmailMessage(const char* serverName, uint16_t port, const char* from,
                                    const char* to, const char* cc, const char* bcc,
                                    const char* subject, const char* date, const char* messageId,
                                    const char* body, signed char priority, int32_t* code) {
  using smtp::orEmpty;
  const smtp::MailRequest request{.serverName = orEmpty(serverName), .port = port, .from = orEmpty(from),
                                  .to = orEmpty(to), .cc = orEmpty(cc), .bcc = orEmpty(bcc),
                                  .subject = orEmpty(subject), .date = orEmpty(date), .messageId = orEmpty(messageId),
                                  .body = orEmpty(body), .priority = priority};
  const smtp::Outcome outcome = smtp::sendEmail(smtp::kPlainSubmission, request);
  if (code != nullptr) *code = outcome.code;
  return outcome.text;
}

SM_API const char* MonthShortName(int month) {
  return kShortName[month >= 1 && month <= 12 ? month : 0];
}

}  // extern "C"
