// The SMTP client's entry: checks a mail before anything is sent (line breaks, envelope entries
// that are not one address, the Reply-To list), takes the mail's bearer token (its own, or the
// node's), sets up the session, and sends the mail over a connection of its own or over the
// node's pool, within the node's rate and connection cap; tries it once more with a new token
// when the server refused the node's, and again after a pause when it failed for a while only;
// the one place where an outcome becomes the code and the text handed out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

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

namespace {

// One try of the mail over `session`, authenticating with `token` when the options name a bearer
// mechanism: the mail's checks, its turn of the rate, then the pool's connection, or one of its
// own under the cap.
Outcome once(SmtpSession* session, const SubmitOptions& options, const MailRequest& request, std::string_view token,
             bool ownToken) noexcept {
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
    // Every try that goes towards the server takes a turn, the first one and each one again.
    if (options.rate != nullptr) options.rate->awaitTurn();
    if (options.pool != nullptr) {
      Outcome outcome =
          deliverKept(*options.pool, *session, options, request.serverName, mail, envelope, reply, token, ownToken);
      outcome.text = handOut(outcome, reply);
      return outcome;
    }
    // Before the connection: its place under the cap is given back after the connection's close.
    const Millis bound = Bounds{options.timeout}.connect();
    const std::optional<ConnectionSlot> slot = options.capped == nullptr
                                                   ? std::optional<ConnectionSlot>(std::in_place)
                                                   : awaitSlot(*options.capped, std::chrono::steady_clock::now() + bound);
    if (!slot) return noConnectionFree(*options.capped, request.serverName, request.port, bound, reply);
    Connection connection(*session, options, request.serverName, reply);
    if (options.capped != nullptr) connection.lingerOnClose(kCloseWait);
    Outcome outcome = connection.open(token);
    if (outcome.code == 0) outcome = connection.transaction(mail, envelope);
    outcome.text = handOut(outcome, reply);
    if (outcome.code == 0) outcome.code = connection.close();
    return outcome;
  } catch (...) {
    return {SMTP_TCPIP_NO_MEMORY, tcpErrorText(SMTP_TCPIP_NO_MEMORY)};
  }
}

// Whether a mail that ended at `step` got past AUTH: the transaction's steps.
bool pastAuth(int step) noexcept {
  return step == SMTP_PROTO_MAIL || step == SMTP_PROTO_MAIL_SIZE || step == SMTP_PROTO_RCPT || step == SMTP_PROTO_DATA ||
         step == SMTP_PROTO_END_OF_DATA || step == SMTP_PROTO_QUIT;
}

// The server refused the token AUTH sent: 535, after the challenge when there was one.
bool tokenRefused(const Outcome& outcome) noexcept {
  return outcome.step == kStepAuth && outcome.code == SMTP_REFUSED && std::strncmp(outcome.text, "535", 3) == 0;
}

// No node token to authenticate with, as the failure at AUTH: transient when the endpoint could
// not be asked for a while (no answer, busy), local when it refused the node's credentials,
// answered with nothing usable or was never set.
Outcome noToken(const std::string& why, bool transient) {
  thread_local std::string text;
  text = std::string(errorText(SMTP_NO_TOKEN)) + ": " + why;
  Outcome outcome{SMTP_NO_TOKEN, text.c_str(), kStepAuth};
  outcome.lost = transient;
  return outcome;
}

// Every try of one mail, each through `oneTry(token, ownToken)`: the first; once more at once
// with a new token when a server refused the node's (535 to AUTH, so before any mail data); and,
// as often as RetryTransient says, again after a pause when a try failed for a while only before
// the mail data. The two never multiply: the token is fetched again at most once per mail, and
// every try, whichever made it, counts in the outcome's attempts and takes its own turn of the
// rate and place under the cap. On success the outcome's reply is the server's.
template <typename Try>
Outcome everyTry(const SubmitOptions& options, const MailRequest& request, Try&& oneTry) {
  const bool ownToken = options.bearer() && !request.accessToken.empty();
  if (ownToken && !bearerShaped(request.accessToken))
    return {SMTP_NO_TOKEN, "no access token: the message's AccessToken is no bearer token (visible ASCII, at most 32 KiB)"};
  const bool nodeToken = options.bearer() && !ownToken;
  bool refetched = false;
  int attempts = 0;
  for (int pauses = 0;;) {
    Token token;
    Outcome outcome;
    if (nodeToken) {
      std::string why = "set OAuthTokenURL, or give the message an AccessToken";
      bool transient = false;
      token = options.tokens != nullptr ? options.tokens->token(why, &transient) : nullptr;
      if (token == nullptr) outcome = noToken(why, transient);
    }
    if (!nodeToken || token != nullptr)
      outcome = oneTry(ownToken ? request.accessToken : token ? std::string_view(token->value) : std::string_view(), ownToken);
    outcome.attempts = ++attempts;
    // A server took the token once the mail got past AUTH, whatever came after.
    if (token != nullptr && (outcome.code == 0 || pastAuth(outcome.step))) token->accepted = true;
    if (outcome.code == 0) {
      outcome.reply = outcome.text;
      return outcome;
    }
    if (token != nullptr && !refetched && tokenRefused(outcome) && options.tokens->refused(token)) {
      refetched = true;
      continue;
    }
    if (pauses >= options.retries || !worthRetrying(outcome)) return outcome;
    std::this_thread::sleep_for(retryPause(++pauses, options.retryPause));
  }
}

}  // namespace

Outcome sendMessage(SmtpSession* session, const SubmitOptions& options, const MailRequest& request) noexcept {
  try {
    return everyTry(options, request,
                    [&](std::string_view token, bool ownToken) { return once(session, options, request, token, ownToken); });
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
    // Each try sets the session up anew (a name that did not resolve may now); with kept
    // connections the pool looks the name up only when it opens a new one.
    Outcome outcome = everyTry(options, request, [&](std::string_view token, bool ownToken) {
      int error = 0;
      std::unique_ptr<SmtpSession, decltype(&std::free)> session(
          options.pool != nullptr ? newSession(request.port, &error, options.localHostName)
                                 : openSession(request.serverName, request.port, &error, options.localHostName),
          &std::free);
      if (!session) return Outcome{error, errorText(error), error == SMTP_TCPIP_HOST_UNKNOWN ? kConnectStep : kNoStep};
      return once(session.get(), options, request, token, ownToken);
    });
    if (outcome.code == 0) outcome.text = "";
    return outcome;
  } catch (...) {
    return {SMTP_TCPIP_NO_MEMORY, errorText(SMTP_TCPIP_NO_MEMORY)};
  }
}

int countRecipients(const MailRequest& request) noexcept {
  int count = 0;
  for (const std::string_view list : {request.to, request.cc, request.bcc}) {
    forEachEntry(list, [&](std::string_view) { return ++count > 0; });
  }
  return count;
}

bool hasRecipient(const MailRequest& request) noexcept {
  for (const std::string_view list : {request.to, request.cc, request.bcc}) {
    if (!forEachEntry(list, [](std::string_view) { return false; })) return true;
  }
  return false;
}

}  // namespace smtp
