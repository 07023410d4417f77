// The SMTP client's C edge: every exported SMTP and TCP function of SendMessage.h and
// SimpleSMTP/smtp.h, each a thin wrapper that turns C arguments (null texts, lengths, out
// pointers) into a call of the C++ function beneath it. The library's own code calls those C++
// functions, never these. The command table SmtpProto is exported beside its hidden name in
// SimpleSMTP/smtp_proto.cpp.
#include "SendMessage.h"

#include <unistd.h>

#include "SimpleSMTP/smtp.h"
#include "SimpleSMTP/smtp_internal.h"
#include "SimpleSMTP/smtp_submit.h"

namespace {
using smtp::orEmpty;

smtp::MailRequest requestOf(const char* from, const char* to, const char* cc, const char* bcc, const char* subject,
                            const char* date, const char* messageId, const char* body, signed char priority) {
  return {.from = orEmpty(from), .to = orEmpty(to), .cc = orEmpty(cc), .bcc = orEmpty(bcc),
          .subject = orEmpty(subject), .date = orEmpty(date), .messageId = orEmpty(messageId),
          .body = orEmpty(body), .priority = priority};
}
}  // namespace

extern "C" {

// ---- SendMessage.h

SM_API const char* SendEmailMessage(const char* serverName, uint16_t port, const char* from,
                                    const char* to, const char* cc, const char* bcc,
                                    const char* subject, const char* date, const char* messageId,
                                    const char* body, signed char priority, int32_t* code) {
  smtp::MailRequest request = requestOf(from, to, cc, bcc, subject, date, messageId, body, priority);
  request.serverName = orEmpty(serverName);
  request.port = port;
  const smtp::Outcome outcome = smtp::sendEmail(smtp::kPlainSubmission, request);
  if (code != nullptr) *code = outcome.code;
  return outcome.text;
}

SM_API const char* MonthShortName(int month) { return smtp::monthShortName(month); }

// ---- SimpleSMTP/smtp.h: the session, the dialogue, replies and error texts

SM_API SmtpSession* SmtpInit(const char* serverName, uint16_t port, int* error) {
  int ignored = 0;
  return smtp::openSession(orEmpty(serverName), port, error != nullptr ? error : &ignored);
}

// Nothing to release: the transport keeps no state (see TcpCleanUp).
SM_API int SmtpCleanUp(void) { return 0; }

SM_API int SmtpSendMessage(SmtpSession* session, const char* from, const char* to, const char* cc,
                           const char* bcc, const char* subject, const char* date, const char* messageId,
                           const char* body, signed char priority, const char** text) {
  const smtp::Outcome outcome = smtp::sendMessage(
      session, smtp::kPlainSubmission, requestOf(from, to, cc, bcc, subject, date, messageId, body, priority));
  if (text != nullptr) *text = outcome.text;
  return outcome.code;
}

SM_API int SmtpGetRc(SmtpProtoEntry entry, const char* reply) { return smtp::replyCode(entry, reply); }
SM_API const char* SMTPErrorString(int code) { return smtp::errorText(code); }
SM_API const char* TCPIPErrorString(int code) { return smtp::tcpErrorText(code); }

// ---- recipient and priority lines

SM_API int SmtpSendRcpt(int socket, const char* list, char* replyBuffer) {
  if (list == nullptr || replyBuffer == nullptr) return 0;
  return smtp::sendRecipients(socket, list, replyBuffer).code;
}

SM_API int SmtpSendTo(int socket, const char* list) { return smtp::sendAddressField(socket, "To:", orEmpty(list)); }
SM_API int SmtpSendCc(int socket, const char* list) { return smtp::sendAddressField(socket, "Cc:", orEmpty(list)); }
SM_API int SmtpSendPriority(int socket, signed char priority) { return smtp::sendPriority(socket, priority); }
SM_API int SmtpSendXPriority(int socket, signed char priority) { return smtp::sendXPriority(socket, priority); }
SM_API const char* GetPriorityName(signed char priority) { return smtp::priorityName(priority); }

// ---- the TCP transport: no start-up and no shut-down on this system

SM_API int TcpInit(void) { return 0; }
SM_API int TcpCleanUp(void) { return 0; }
SM_API int closesocket(int socket) { return ::close(socket); }

SM_API int TcpConnect(int* socket, SmtpSession* session) {
  if (socket == nullptr) return SMTP_TCPIP_NO_MORE_SOCKETS;
  *socket = -1;
  if (session == nullptr) return SMTP_TCPIP_CONNECTION_FAILED;
  return smtp::connectSession(socket, *session, smtp::connectTimeout());
}

SM_API int TcpClose(int socket) { return smtp::closeSocket(socket); }

SM_API int TcpSend(int socket, const char* data, int length) {
  if (socket == -1) return SMTP_TCPIP_ERROR;
  if (length <= 0) return 0;
  if (data == nullptr) return SMTP_TCPIP_ERROR;
  return smtp::sendBytes(socket, {data, static_cast<std::size_t>(length)}, smtp::writeStallTimeout(SMTP_PROTO_GREETING));
}

SM_API int TcpRecv(int socket, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return SMTP_TCPIP_ERROR;
  return smtp::receiveText(socket, buffer, static_cast<std::size_t>(size));
}

SM_API int SmtpTcpSend(int socket, const char* data, int length) {
  if (socket == -1) return SMTP_TCPIP_ERROR;
  const std::size_t n = data != nullptr && length > 0 ? static_cast<std::size_t>(length) : 0;
  return smtp::sendLine(socket, {data, n});
}

}  // extern "C"
