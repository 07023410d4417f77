// A provider's limits as the client keeps them, and what a failure was: the node's schedule of
// mail starts (MaxMailsPerMinute), the pause before a transient failure is tried again, and the
// kind and step names a failure's detail reports. The connection cap lives with the pool.
#include <algorithm>
#include <random>
#include <thread>

#include "smtp_connection.h"

namespace smtp {

using Clock = std::chrono::steady_clock;

// The spacing is 1 % longer than 60/N seconds: a server counts starts as they reach it, and delays
// on the way (up to 1 % of its window) must not let it count N + 1 in any second or minute.
MailRate::MailRate(double perMinute) noexcept
    : spacing_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(60.0 * 1.01 / perMinute))) {}

// A virtual schedule: each caller takes the turn after the last one given, or now when that
// has passed, so turns are never closer than the spacing, whatever the threads do, and the
// order of asking is the order of going.
void MailRate::awaitTurn() {
  Clock::time_point turn;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    turn = std::max(Clock::now(), next_);
    next_ = turn + spacing_;
  }
  std::this_thread::sleep_until(turn);
}

Millis retryPause(int retry, Millis most) noexcept {
  // 1 s, 2 s, 4 s ... up to `most`, each shortened by up to a quarter at random, so that the
  // threads a server turned away together do not all come back together.
  thread_local std::minstd_rand random(static_cast<unsigned>(
      Clock::now().time_since_epoch().count() ^ std::hash<std::thread::id>{}(std::this_thread::get_id())));
  const Millis base = Millis{1000} * (1LL << std::min(retry - 1, 20));
  const double share = std::uniform_real_distribution<double>(0.75, 1.0)(random);
  return std::chrono::ceil<Millis>(std::min(base, most) * share);
}

Kind kindOf(const Outcome& outcome) noexcept {
  if (outcome.code == 0) return Kind::None;
  if (outcome.step == kNoStep) return Kind::Local;
  if (outcome.lost) return Kind::Transient;
  if (hasReplyCode(outcome.text)) return outcome.text[0] == '4' ? Kind::Transient : Kind::Permanent;
  switch (outcome.code) {
    case SMTP_BAD_PARAMETERS:
    case SMTP_TCPIP_NO_MEMORY:
    case SMTP_NO_TOKEN:  // the endpoint refused the node's credentials, or none were set
      return Kind::Local;
    case SMTP_TCPIP_HOST_UNKNOWN:
    case SMTP_TCPIP_NO_MORE_SOCKETS:
    case SMTP_TCPIP_CONNECTION_FAILED:
    case SMTP_NO_CONNECTION_FREE:
      return Kind::Transient;
    default:  // STARTTLS, AUTH or SMTPUTF8 not offered; a handshake the server or its certificate failed
      return Kind::Permanent;
  }
}

bool worthRetrying(const Outcome& outcome) noexcept {
  // From the end of data on, the mail may have arrived: it is never sent twice.
  return kindOf(outcome) == Kind::Transient && outcome.step != SMTP_PROTO_END_OF_DATA &&
         outcome.step != SMTP_PROTO_QUIT;
}

std::string_view replyCodeOf(const Outcome& outcome) noexcept {
  if (outcome.code == 0 || outcome.lost || !hasReplyCode(outcome.text)) return {};
  return std::string_view(outcome.text, 3);
}

std::string_view enhancedCodeOf(const Outcome& outcome) noexcept {
  // class "." subject "." detail: a class of 2, 4 or 5, then one to three digits twice, then
  // the end of the word (RFC 3463 section 2).
  if (replyCodeOf(outcome).empty() || outcome.text[3] == '\0') return {};
  const std::string_view text(outcome.text + 4);
  std::size_t at = 0;
  if (text.empty() || (text[0] != '2' && text[0] != '4' && text[0] != '5')) return {};
  for (int part = 0; part < 2; ++part) {
    if (++at >= text.size() || text[at] != '.') return {};
    const std::size_t digits = text.find_first_not_of("0123456789", ++at);
    const std::size_t count = (digits == std::string_view::npos ? text.size() : digits) - at;
    if (count < 1 || count > 3) return {};
    at += count - 1;
  }
  const std::size_t end = at + 1;
  if (end < text.size() && text[end] != ' ' && text[end] != '\t') return {};
  return text.substr(0, end);
}

const char* stepName(int step) noexcept {
  switch (step) {
    case kConnectStep:
      return "connect";
    case kTlsStep:
    case kStepStartTls:
      return "tls";
    case SMTP_PROTO_GREETING:
      return "greeting";
    case SMTP_PROTO_HELO:
    case kStepEhlo:
      return "hello";
    case kStepAuth:
      return "auth";
    case SMTP_PROTO_MAIL:
    case SMTP_PROTO_MAIL_SIZE:
      return "mail";
    case SMTP_PROTO_RCPT:
      return "rcpt";
    case SMTP_PROTO_DATA:
      return "data";
    case SMTP_PROTO_END_OF_DATA:
    case SMTP_PROTO_QUIT:
      return "end-of-data";
    default:
      return "";
  }
}

}  // namespace smtp
