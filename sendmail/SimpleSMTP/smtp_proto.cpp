// The protocol table: each dialogue step's command, the reply codes it knows and what they mean
// (the exported steps, then the hidden ones of the extended dialogue), plus the parallel table
// of per-step time bounds; the reply judge and the error texts.
// Everything here is constant except the test hook that shortens the bounds. The exported
// table SmtpProto is the hidden one under its C name (an alias), so that the client's own code
// never reads through the exported symbol.
#include <atomic>
#include <cstring>
#include <iterator>

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

__attribute__((visibility("hidden"))) extern const SmtpProtoEntry smtpProtoTable[SMTP_PROTO_STEPS] = {
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
SM_API extern const SmtpProtoEntry SmtpProto[SMTP_PROTO_STEPS] __attribute__((alias("smtpProtoTable")));

}  // extern "C"

namespace smtp {
namespace {
// The extended dialogue's steps, in the order of their indexes from kStepEhlo on. EHLO knows
// HELO's replies; a refusal of STARTTLS or AUTH hands the server's reply out (454, 530, 535...).
constexpr SmtpProtoEntry kExtendedProto[] = {
    {"EHLO %s",
     {{"250", 0},
      {"421", SMTP_REFUSED},
      {"500", SMTP_BAD_PARAMETERS},
      {"501", SMTP_BAD_PARAMETERS},
      {"502", SMTP_CANNOT_EXECUTE},
      {"504", SMTP_CANNOT_EXECUTE},
      {"550", SMTP_REFUSED},
      {"555", SMTP_BAD_PARAMETERS}}},
    {"STARTTLS",
     {{"220", 0},
      {"421", SMTP_REFUSED},
      {"454", SMTP_REFUSED},
      {"501", SMTP_BAD_PARAMETERS},
      {"502", SMTP_CANNOT_EXECUTE}}},
    // AUTH and each answer to a challenge: 334 asks for the next one, 235 ends it.
    {"AUTH %s",
     {{"235", 0},
      {"334", 0},
      {"421", SMTP_REFUSED},
      {"432", SMTP_REFUSED},
      {"454", SMTP_REFUSED},
      {"500", SMTP_REFUSED},
      {"501", SMTP_BAD_PARAMETERS},
      {"502", SMTP_CANNOT_EXECUTE},
      {"504", SMTP_CANNOT_EXECUTE},
      {"530", SMTP_REFUSED},
      {"534", SMTP_REFUSED},
      {"535", SMTP_REFUSED},
      {"538", SMTP_REFUSED}}},
    // Ends a refused transaction on a kept connection; anything but 250 closes it.
    {"RSET", {{"250", 0}, {"421", SMTP_REFUSED}, {"500", SMTP_BAD_PARAMETERS}, {"501", SMTP_BAD_PARAMETERS}}},
};
static_assert(SMTP_PROTO_STEPS + std::size(kExtendedProto) == kSteps,
              "every extended step has its row");
static_assert(std::size(smtpProtoTable) == SMTP_PROTO_STEPS);
}  // namespace

const SmtpProtoEntry* protoEntry(int step) noexcept {
  if (step >= 0 && step < SMTP_PROTO_STEPS) return &smtpProtoTable[step];
  if (step >= SMTP_PROTO_STEPS && step < kSteps) return &kExtendedProto[step - SMTP_PROTO_STEPS];
  return nullptr;
}

int judge(int step, const char* reply) noexcept {
  const SmtpProtoEntry* entry = protoEntry(step);
  return entry != nullptr ? replyCode(*entry, reply) : SMTP_UNLISTED_REPLY;
}

using std::chrono::minutes;
using std::chrono::seconds;

// Reply bounds are RFC 5321 section 4.5.3.2's minimums. HELO has none there; it gets MAIL's
// five minutes, as Postfix does. QUIT's reply changes nothing once the mail is accepted, so it
// gets only 30 s. A write may stall as long as its step's reply may take, except the mail data,
// which gets RFC 5321's three-minute data-block bound per stall.
// In step order: greeting, HELO, MAIL, MAIL SIZE, RCPT, DATA, end of data, VRFY, QUIT, REST;
// then EHLO (HELO's), STARTTLS and AUTH (MAIL's five minutes, as for any command without its
// own RFC 5321 value), and RSET: 20 s, Postfix's smtp_rset_timeout, since it only decides
// whether a kept connection may serve again; a server slow to answer it is better closed.
const StepLimits kStepLimits[kSteps] = {
    {minutes(5), minutes(5)},  {minutes(5), minutes(5)}, {minutes(5), minutes(5)},
    {minutes(5), minutes(5)},  {minutes(5), minutes(5)}, {minutes(2), minutes(2)},
    {minutes(10), minutes(3)}, {minutes(5), minutes(5)}, {seconds(30), seconds(30)},
    {minutes(5), minutes(5)},  {minutes(5), minutes(5)}, {minutes(5), minutes(5)},
    {minutes(5), minutes(5)},  {seconds(20), seconds(20)},
};
static_assert(std::size(kStepLimits) == kSteps);

namespace {
std::atomic<long long> testTimeoutMs{0};

Millis overridden(Millis fallback) noexcept {
  const long long ms = testTimeoutMs.load(std::memory_order_relaxed);
  return ms > 0 ? Millis{ms} : fallback;
}

bool validStep(int step) noexcept { return step >= 0 && step < kSteps; }
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
  const std::string_view format = protoEntry(step)->command;
  const std::size_t hole = format.find("%s");
  if (hole == std::string_view::npos) {
    out += format;
    return;
  }
  out += format.substr(0, hole);
  out += argument;
  out += format.substr(hole + 2);
}

int replyCode(const SmtpProtoEntry& entry, const char* reply) noexcept {
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
static_assert(std::size(kTcpTexts) == SMTP_TCPIP_NO_MEMORY - SMTP_TCPIP_ERROR + 1);
static_assert(std::size(kSmtpTexts) == SMTP_UNKNOWN_ON_SERVER - SMTP_ANSWER_NOT_EXPECTED + 1);
// Secure submission and kept connections: settings the node refuses, then what the server
// lacks, refused or got wrong; then settings added later (TLS files that do not load, Trace).
const char* const kSecureTexts[] = {"Security must be empty, starttls or tls",
                                    "TLSVerify must be empty, yes or no",
                                    "TimeoutSeconds must be empty or a number of seconds",
                                    "STARTTLS not offered by the server",
                                    "TLS handshake failed",
                                    "AUTH not offered by the server",
                                    "credentials would be sent unencrypted: set Security",
                                    "non-ASCII address, and the server does not offer SMTPUTF8",
                                    ("ConnectionReuse must be empty or yes, MaxMailsPerConnection "
                                     "and IdleSeconds empty or positive numbers"),
                                    "the server's replies were out of step",
                                    "TLS settings cannot be used",
                                    "Trace must be empty or yes",
                                    "unusable settings",
                                    "no access token"};
static_assert(std::size(kSecureTexts) == SMTP_NO_TOKEN - SMTP_BAD_SECURITY + 1);
// A provider's limits: settings the node refuses, and a connection that did not come free. Their
// codes start a range of their own (1120), so the codes between the two ranges have no text.
const char* const kLimitTexts[] = {("MaxConnections, MaxMailsPerMinute and RetryMaxSeconds must be empty or "
                                    "positive numbers (MaxConnections a whole one, RetryMaxSeconds at most 3600), "
                                    "RetryTransient empty or 0 to 10, FailureDetail and Receipt empty or yes"),
                                   "no connection free within the connect bound (MaxConnections reached)"};
static_assert(std::size(kLimitTexts) == SMTP_NO_CONNECTION_FREE - SMTP_BAD_LIMITS + 1);
static_assert(SMTP_NO_TOKEN < SMTP_BAD_LIMITS, "the two ranges do not overlap");

const char* tcpText(int code) noexcept {
  return code >= SMTP_TCPIP_ERROR && code <= SMTP_TCPIP_NO_MEMORY ? kTcpTexts[code - 100] : nullptr;
}
}  // namespace

const char* errorText(int code) noexcept {
  if (const char* text = tcpText(code)) return text;
  if (code >= SMTP_ANSWER_NOT_EXPECTED && code <= SMTP_UNKNOWN_ON_SERVER)
    return kSmtpTexts[code - 1000];
  if (code >= SMTP_BAD_SECURITY && code <= SMTP_NO_TOKEN) return kSecureTexts[code - SMTP_BAD_SECURITY];
  if (code >= SMTP_BAD_LIMITS && code <= SMTP_NO_CONNECTION_FREE) return kLimitTexts[code - SMTP_BAD_LIMITS];
  return "Unknown SMTP error";
}

const char* tcpErrorText(int code) noexcept {
  const char* text = tcpText(code);
  return text != nullptr ? text : "Unknown TCP/IP error";
}

}  // namespace smtp
