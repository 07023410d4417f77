// The SMTP client's entry: checks a mail before anything is sent (line breaks, envelope entries
// that are not one address, the Reply-To list), sets up the session, and sends the mail over a
// connection of its own or over the node's pool; the one place where an outcome becomes the code
// and the text handed out.
#include <cstdlib>
#include <memory>
#include <string>

#include "smtp_connection.h"

namespace smtp {
namespace {

// Values that would start a new command or header line if they held a line break, and
// envelope entries that would carry more than one address (ESMTP parameters, say).
bool unsafe(const SmtpSession& session, std::string_view from, std::string_view to,
            std::string_view cc, std::string_view bcc) noexcept {
  return hasLineBreak(session.localHostName) || hasLineBreak(from) || hasLineBreak(to) ||
         hasLineBreak(cc) || hasLineBreak(bcc) || !sendableEnvelope(from, to, cc, bcc);
}

// The non-empty lists joined by single ";", in the order To, Cc, Bcc.
void joinEnvelope(std::string& out, std::string_view to, std::string_view cc,
                  std::string_view bcc) {
  out.clear();
  for (const std::string_view list : {to, cc, bcc}) {
    if (list.empty()) continue;
    if (!out.empty()) out += ';';
    out += list;
  }
}

// The one place where a reply becomes the text handed out: one line, no control character but
// TAB (the reader blanked the others), whatever step it answered.
const char* handOut(const Outcome& outcome, char* reply) noexcept {
  if (outcome.text == reply) makeOneLine(reply);
  return outcome.text;
}

}  // namespace

// The mail over one new connection with the given options, or over the pool's; the code,
// with *text set.
int sendMessage(SmtpSession* session, const SubmitOptions& options, std::string_view host,
                std::string_view from, std::string_view to, std::string_view cc, std::string_view bcc,
                std::string_view subject, std::string_view date, std::string_view messageId,
                std::string_view body, signed char priority, const richmail::RichMail* rich,
                const char** text) noexcept {
  const char* ignored = nullptr;
  if (text == nullptr) text = &ignored;
  char* reply = threadReplyBuffer();
  reply[0] = '\0';
  *text = reply;
  if (session == nullptr) {
    *text = TCPIPErrorString(SMTP_TCPIP_CONNECTION_FAILED);
    return SMTP_TCPIP_CONNECTION_FAILED;
  }
  session->localHostName[sizeof session->localHostName - 1] = '\0';
  thread_local std::string boundary;
  boundary.clear();
  if (rich != nullptr && rich->multipart()) boundary = chooseBoundary(*rich);
  const MailText mail{from, to, cc, subject, date, messageId, body, session->localHostName, priority, rich, boundary};
  // A Reply-To list is held to the rules of To: each entry one address, no line break.
  const bool unsafeReplyTo = rich != nullptr && (hasLineBreak(rich->replyTo) ||
                                                 !forEachEntry(rich->replyTo, [](std::string_view e) { return sendableEntry(e); }));
  if (unsafe(*session, mail.from, mail.to, mail.cc, bcc) || unsafeReplyTo) {
    *text = SMTPErrorString(SMTP_BAD_PARAMETERS);
    return SMTP_BAD_PARAMETERS;
  }
  try {
    thread_local std::string envelope;
    envelope.clear();
    joinEnvelope(envelope, mail.to, mail.cc, bcc);
    if (options.pool != nullptr) {
      const Outcome outcome = deliverKept(*options.pool, *session, options, host, mail, envelope, reply);
      *text = handOut(outcome, reply);
      return outcome.code;
    }
    Connection connection(*session, options, host, reply);
    Outcome outcome = connection.open();
    if (outcome.code == 0) outcome = connection.transaction(mail, envelope);
    *text = handOut(outcome, reply);
    if (outcome.code != 0) return outcome.code;
    return connection.close();
  } catch (...) {
    *text = TCPIPErrorString(SMTP_TCPIP_NO_MEMORY);
    return SMTP_TCPIP_NO_MEMORY;
  }
}

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

extern "C" SM_API int SmtpSendMessage(SmtpSession* session, const char* from, const char* to,
                                      const char* cc, const char* bcc, const char* subject,
                                      const char* date, const char* messageId, const char* body,
                                      signed char priority, const char** text) {
  using smtp::orEmpty;
  return smtp::sendMessage(session, smtp::kPlainSubmission, {}, orEmpty(from), orEmpty(to), orEmpty(cc), orEmpty(bcc),
                           orEmpty(subject), orEmpty(date), orEmpty(messageId), orEmpty(body),
                           priority, nullptr, text);
}