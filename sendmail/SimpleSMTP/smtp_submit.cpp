// The SMTP client's entry: checks a mail before anything is sent (line breaks, envelope entries
// that are not one address, the Reply-To list), takes the mail's bearer token (its own, or the
// node's), sets up the session, and sends the mail over a connection of its own or over the
// node's pool, once more with a new token when the server refused the node's; the one place
// where an outcome becomes the code and the text handed out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "oauth_token.h"
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

Outcome sendMessage(SmtpSession* session, const SubmitOptions& options, const MailRequest& request) noexcept {
  char* reply = threadReplyBuffer();
  reply[0] = '\0';
  if (session == nullptr) return {SMTP_TCPIP_CONNECTION_FAILED, tcpErrorText(SMTP_TCPIP_CONNECTION_FAILED)};
  session->localHostName[sizeof session->localHostName - 1] = '\0';
  const RichMail& rich = request.rich;
  thread_local std::string boundary;
  boundary.clear();
  if (rich.multipart()) boundary = chooseBoundary(rich);
  const MailText mail{request.from, request.to, request.cc, request.subject, request.date, request.messageId,
                      request.body, session->localHostName, request.priority, &rich, boundary};
  // A Reply-To list is held to the rules of To: each entry one address, no line break.
  const bool unsafeReplyTo =
      hasLineBreak(rich.replyTo) || !forEachEntry(rich.replyTo, [](std::string_view e) { return sendableEntry(e); });
  if (unsafe(*session, mail.from, mail.to, mail.cc, request.bcc) || unsafeReplyTo)
    return {SMTP_BAD_PARAMETERS, errorText(SMTP_BAD_PARAMETERS)};
  try {
    thread_local std::string envelope;
    envelope.clear();
    joinEnvelope(envelope, mail.to, mail.cc, request.bcc);
    const bool ownToken = options.bearer() && !request.accessToken.empty();
    const auto once = [&](std::string_view token) {
      if (options.pool != nullptr) {
        Outcome outcome =
            deliverKept(*options.pool, *session, options, request.serverName, mail, envelope, reply, token, ownToken);
        outcome.text = handOut(outcome, reply);
        return outcome;
      }
      Connection connection(*session, options, request.serverName, reply);
      Outcome outcome = connection.open(token);
      if (outcome.code == 0) outcome = connection.transaction(mail, envelope);
      outcome.text = handOut(outcome, reply);
      if (outcome.code == 0) outcome.code = connection.close();
      return outcome;
    };
    if (!options.bearer()) return once({});
    if (ownToken && !bearerShaped(request.accessToken))
      return {SMTP_NO_TOKEN, "no access token: the message's AccessToken is no bearer token (visible ASCII, at most 32 KiB)"};
    if (ownToken) return once(request.accessToken);
    // The node's token. A server's refusal of it (535, after AUTH, before any mail data) drops it
    // and the mail goes once more with a new one, over a new connection.
    std::string why = "set OAuthTokenURL, or give the message an AccessToken";
    Token token = options.tokens != nullptr ? options.tokens->token(why) : nullptr;
    for (bool retried = false; token != nullptr; retried = true) {
      const Outcome outcome = once(token->value);
      const bool refused = outcome.step == kStepAuth && outcome.code == SMTP_REFUSED &&
                           std::strncmp(outcome.text, "535", 3) == 0;
      if (outcome.code == 0) token->accepted = true;
      if (!refused || retried || !options.tokens->refused(token)) return outcome;
      token = options.tokens->token(why);
    }
    thread_local std::string text;
    text = std::string(errorText(SMTP_NO_TOKEN)) + ": " + why;
    return {SMTP_NO_TOKEN, text.c_str()};
  } catch (...) {
    return {SMTP_TCPIP_NO_MEMORY, tcpErrorText(SMTP_TCPIP_NO_MEMORY)};
  }
}

Outcome settingsRefusal(const SubmitOptions& options) noexcept {
  if (options.refusal == 0) return {};
  if (options.refusalDetail.empty()) return {options.refusal, errorText(options.refusal)};
  char* text = threadReplyBuffer();
  std::snprintf(text, kReplyBufferSize, "%s: %.*s", errorText(options.refusal),
                static_cast<int>(options.refusalDetail.size()), options.refusalDetail.data());
  return {options.refusal, text};
}

Outcome sendEmail(const SubmitOptions& options, const MailRequest& request) noexcept {
  try {
    if (options.refusal != 0) return settingsRefusal(options);
    // With kept connections the pool looks the name up only when it opens a new one.
    int error = 0;
    std::unique_ptr<SmtpSession, decltype(&std::free)> session(
        options.pool != nullptr ? newSession(request.port, &error) : openSession(request.serverName, request.port, &error),
        &std::free);
    if (!session) return {error, errorText(error)};
    Outcome outcome = sendMessage(session.get(), options, request);
    if (outcome.code == 0) outcome.text = "";
    return outcome;
  } catch (...) {
    return {SMTP_TCPIP_NO_MEMORY, errorText(SMTP_TCPIP_NO_MEMORY)};
  }
}

bool hasRecipient(const MailRequest& request) noexcept {
  for (const std::string_view list : {request.to, request.cc, request.bcc}) {
    if (!forEachEntry(list, [](std::string_view) { return false; })) return true;
  }
  return false;
}

}  // namespace smtp
