// The protocol table: each dialogue step's command, the reply codes it knows and what they mean,
// plus the parallel table of per-step time bounds; the reply judge and the error texts.
// Everything here is constant except the test hook that shortens the bounds.
#include <atomic>
#include <cstring>

#include "smtp_internal.h"

namespace {
// MAIL FROM with and without SIZE know the same replies.
constexpr SmtpProtoEntry kMailReplies = {nullptr,
                                         {{"250", 0},
                                          {"421", SMTP_REFUSED},
                                          {"451", SMTP_REFUSED},
                                          {"452", SMTP_LIMITS_EXCEEDED},
                                          {"500", SMTP_REFUSED},
                                          {"501", SMTP_REFUSED},
                                          {"504", SMTP_CANNOT_EXECUTE},
                                          {"552", SMTP_LIMITS_EXCEEDED},
                                          {"555", SMTP_BAD_PARAMETERS}}};

constexpr SmtpProtoEntry withCommand(const char* command, SmtpProtoEntry entry) {
  entry.command = command;
  return entry;
}
}  // namespace

extern "C" {

const SmtpProtoEntry SmtpProto[10] = {
    {nullptr, {{"220", 0}, {"421", SMTP_SERVICE_UNAVAILABLE}}},
    {"HELO %s",
     {{"250", 0},
      {"421", SMTP_REFUSED},
      {"500", SMTP_BAD_PARAMETERS},
      {"501", SMTP_BAD_PARAMETERS},
      {"504", SMTP_CANNOT_EXECUTE},
      {"550", SMTP_REFUSED},
      {"555", SMTP_BAD_PARAMETERS}}},
    withCommand("MAIL FROM:<%s>", kMailReplies),
    withCommand("MAIL FROM:<%s> SIZE=%ld", kMailReplies),
    // The recipient's address goes inside the brackets, as RFC 5321 wants.
    {"RCPT TO:<%s>",
     {{"250", 0},
      {"251", 0},
      {"421", SMTP_REFUSED},
      {"451", SMTP_REFUSED},
      {"452", SMTP_LIMITS_EXCEEDED},
      {"500", SMTP_REFUSED},
      {"501", SMTP_REFUSED},
      {"504", SMTP_CANNOT_EXECUTE},
      {"551", SMTP_UNKNOWN_DESTINEE},
      {"552", SMTP_LIMITS_EXCEEDED},
      {"553", SMTP_REFUSED},
      {"555", SMTP_BAD_PARAMETERS}}},
    {"DATA",
     {{"354", 0},
      {"421", SMTP_REFUSED},
      {"451", SMTP_REFUSED},
      {"452", SMTP_LIMITS_EXCEEDED},
      {"504", SMTP_CANNOT_EXECUTE},
      {"554", SMTP_REFUSED},
      {"555", SMTP_BAD_PARAMETERS}}},
    {"\r\n.",
     {{"250", 0},
      {"451", SMTP_REFUSED},
      {"452", SMTP_LIMITS_EXCEEDED},
      {"552", SMTP_LIMITS_EXCEEDED},
      {"554", SMTP_REFUSED}}},
    {"VRFY %s", {{"250", 0}, {"251", 0}, {"252", 0}, {"550", SMTP_UNKNOWN_DESTINEE}}},
    {"QUIT", {{"221", 0}, {"250", 0}, {"500", SMTP_REFUSED}}},
    {"REST", {{"250", 0}}},
};

}  // extern "C"

namespace smtp {

using std::chrono::minutes;
using std::chrono::seconds;

// Reply bounds are RFC 5321 section 4.5.3.2's minimums. HELO has none there; it gets MAIL's
// five minutes, as Postfix does. QUIT's reply changes nothing once the mail is accepted, so it
// gets only 30 s. A write may stall as long as its step's reply may take, except the mail data,
// which gets RFC 5321's three-minute data-block bound per stall.
const StepLimits kStepLimits[10] = {
    {"greeting", minutes(5), minutes(5)},    {"HELO", minutes(5), minutes(5)},
    {"MAIL", minutes(5), minutes(5)},        {"MAIL SIZE", minutes(5), minutes(5)},
    {"RCPT", minutes(5), minutes(5)},        {"DATA", minutes(2), minutes(2)},
    {"end of data", minutes(10), minutes(3)}, {"VRFY", minutes(5), minutes(5)},
    {"QUIT", seconds(30), seconds(30)},      {"REST", minutes(5), minutes(5)},
};

namespace {
std::atomic<long long> testTimeoutMs{0};

Millis overridden(Millis fallback) noexcept {
  const long long ms = testTimeoutMs.load(std::memory_order_relaxed);
  return ms > 0 ? Millis{ms} : fallback;
}

bool validStep(int step) noexcept { return step >= 0 && step < 10; }
}  // namespace

void setTimeoutsForTesting(Millis all) noexcept {
  testTimeoutMs.store(all.count(), std::memory_order_relaxed);
}
Millis replyTimeout(int step) noexcept {
  return overridden(kStepLimits[validStep(step) ? step : 0].reply);
}
Millis writeStallTimeout(int step) noexcept {
  return overridden(kStepLimits[validStep(step) ? step : 0].writeStall);
}
Millis connectTimeout() noexcept { return overridden(kConnectTimeout); }

char* threadReplyBuffer() noexcept {
  thread_local char buffer[kReplyBufferSize];
  return buffer;
}

void appendCommand(std::string& out, int step, std::string_view argument) {
  const std::string_view format = SmtpProto[step].command;
  const std::size_t hole = format.find("%s");
  if (hole == std::string_view::npos) {
    out += format;
    return;
  }
  out += format.substr(0, hole);
  out += argument;
  out += format.substr(hole + 2);
}

}  // namespace smtp

extern "C" {

SM_API int SmtpGetRc(SmtpProtoEntry entry, const char* reply) {
  if (reply == nullptr) return SMTP_UNLISTED_REPLY;
  for (const SmtpReplyCode& slot : entry.replies) {
    if (slot.code == nullptr) break;
    // strncmp stops at the reply's NUL, so a short or empty reply matches nothing.
    if (std::strncmp(reply, slot.code, std::strlen(slot.code)) == 0) return slot.error;
  }
  return SMTP_UNLISTED_REPLY;
}

namespace {
const char* const kTcpTexts[] = {"TCP/IP error",           "TCP/IP bad port",
                                 "TCP/IP host unknown",    "TCP/IP no more sockets",
                                 "TCP/IP connection failed", "TCP/IP memory allocation error"};
const char* const kSmtpTexts[] = {"Answer was not expected",
                                  "Service unavailable",
                                  "Host recognize but can't exec cmd",
                                  "Server doesn't support MIME ext",
                                  "Refused by server",
                                  "Can not connect to the server",
                                  "Error during communication",
                                  "Bad parameters",
                                  "Server limits exceeded",
                                  "Unknown destinee",
                                  "Address OK,unknown on this server"};

const char* tcpText(int code) noexcept {
  return code >= SMTP_TCPIP_ERROR && code <= SMTP_TCPIP_NO_MEMORY ? kTcpTexts[code - 100] : nullptr;
}
}  // namespace

SM_API const char* SMTPErrorString(int code) {
  if (const char* text = tcpText(code)) return text;
  if (code >= SMTP_ANSWER_NOT_EXPECTED && code <= SMTP_UNKNOWN_ON_SERVER)
    return kSmtpTexts[code - 1000];
  return "Unknown SMTP error";
}

SM_API const char* TCPIPErrorString(int code) {
  const char* text = tcpText(code);
  return text != nullptr ? text : "Unknown TCP/IP error";
}

}  // extern "C"
