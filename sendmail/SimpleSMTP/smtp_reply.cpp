// The one reply reader: collects a whole SMTP reply however the server splits it, however many
// lines it has and however long it is, within the step's time bound. Every edge case of reading
// lives here: split and multi-line replies, over-long replies, NUL bytes, end, reset, silence.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "smtp_internal.h"

namespace smtp {
namespace {

using Clock = std::chrono::steady_clock;

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// A line continues the reply only when it reads "ddd-"; anything else, including a line that
// is no reply line at all, ends it, so a confused server cannot keep the reader waiting.
bool continues(const char head[4], std::size_t lineLength) noexcept {
  return lineLength >= 4 && isDigit(head[0]) && isDigit(head[1]) && isDigit(head[2]) &&
         head[3] == '-';
}

}  // namespace

bool ReplyReader::read(char* buffer, std::size_t size, Millis timeout) noexcept {
  const auto deadline = Clock::now() + timeout;
  const std::size_t room = size - 1;  // one byte always left for the NUL
  std::size_t kept = 0;
  char head[4] = {};
  std::size_t lineLength = 0;  // bytes of the current line seen so far, kept or not
  for (;;) {
    if (begin_ == end_) {
      // The bound holds for the whole reply, also while a server keeps sending lines.
      if (Clock::now() >= deadline) break;
      // The reply is often there already (the server ran while we wrote): try before waiting.
      const ssize_t got = ::recv(fd_, in_.data(), in_.size(), MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        if (left.count() <= 0 || !waitReadable(fd_, left)) break;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // end of connection or reset
      begin_ = 0;
      end_ = static_cast<std::size_t>(got);
    }
    const char* chunk = in_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const void* lf = std::memchr(chunk, '\n', available);
    const std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - chunk) + 1
                                : available;
    const std::size_t keep = std::min(take, room - kept);
    for (std::size_t i = 0; i < keep; ++i) buffer[kept + i] = chunk[i] == '\0' ? ' ' : chunk[i];
    kept += keep;
    for (std::size_t i = 0; lineLength + i < 4 && i < take; ++i) head[lineLength + i] = chunk[i];
    lineLength += take;
    begin_ += take;
    if (lf == nullptr) continue;
    if (!continues(head, lineLength - 1)) {
      buffer[kept] = '\0';
      return true;
    }
    lineLength = 0;
  }
  buffer[0] = '\0';
  return false;
}

Exchange command(int fd, ReplyReader& reader, int step, std::string_view line,
                 char* reply) noexcept {
  iovec out[2] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>("\r\n"), 2}};
  if (sendVector(fd, out, 2, writeStallTimeout(step)) != 0) {
    reply[0] = '\0';
    return {kLost, true};
  }
  if (!reader.read(reply, kReplyBufferSize, replyTimeout(step))) return {kLost, true};
  return {SmtpGetRc(SmtpProto[step], reply), false};
}

}  // namespace smtp
