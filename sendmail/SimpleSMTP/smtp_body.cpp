// The mail body on the wire: transparent as it stands (CR LF line ends, leading dots doubled)
// through segments that point into the caller's text, or quoted-printable when it must be
// declared as MIME. The body is never copied in the first case; in the second it is encoded a
// stretch at a time, as it is written.
#include <cstring>

#include "smtp_internal.h"

namespace smtp {
namespace {
constexpr std::size_t kQpLine = 75;  // characters before the soft break's "="
char kCrLf[] = "\r\n";
char kDot[] = ".";
}  // namespace

std::size_t appendQuotedPrintable(std::string& out, std::string_view body, std::size_t from, std::size_t most) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Every stop is at the start of a line, so the next call starts with an empty one.
  std::size_t line = 0;
  const std::size_t n = body.size();
  for (std::size_t i = from; i < n; ++i) {
    const char c = body[i];
    if (c == '\r' || c == '\n') {
      out += "\r\n";
      line = 0;
      if (c == '\r' && i + 1 < n && body[i + 1] == '\n') ++i;
      if (out.size() >= most) return i + 1;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    const bool lineEnd = i + 1 == n || body[i + 1] == '\r' || body[i + 1] == '\n';
    bool literal = (u >= 33 && u <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEnd);
    if (line + (literal ? 1 : 3) > kQpLine) {
      out += "=\r\n";
      line = 0;
      if (out.size() >= most) return i;
    }
    // A line may not start with "." on the wire; escaping it spares the dot-doubling pass.
    if (literal && c == '.' && line == 0) literal = false;
    if (literal) {
      out += c;
      ++line;
    } else {
      const char escape[3] = {'=', kHex[u >> 4], kHex[u & 15]};
      out.append(escape, 3);
      line += 3;
    }
  }
  return n;
}

void appendQuotedPrintable(std::string& out, std::string_view body) {
  out.reserve(out.size() + body.size() * 3 + body.size() / 24 + 16);  // untouched pages cost nothing
  appendQuotedPrintable(out, body, 0, std::string::npos);
}

int BodySegments::fill(iovec* iov, int room) noexcept {
  int n = 0;
  const auto flush = [&](const char* upTo) {
    if (upTo > segment_)
      iov[n++] = {const_cast<char*>(segment_), static_cast<std::size_t>(upTo - segment_)};
  };
  const auto lineEnd = [&](const char* at, const char* next) {
    flush(at);
    iov[n++] = {kCrLf, 2};
    segment_ = p_ = next;
    lineStart_ = true;
  };
  // Each turn adds at most four entries; the last flush needs one more.
  while (p_ < end_ && n + 5 <= room) {
    if (lineStart_) {
      lineStart_ = false;
      if (*p_ == '.') {
        flush(p_);
        iov[n++] = {kDot, 1};
        segment_ = p_;
      }
    }
    const void* found = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
    const char* lf = found ? static_cast<const char*>(found) : end_;
    const char* cr = static_cast<const char*>(std::memchr(p_, '\r', static_cast<std::size_t>(lf - p_)));
    if (cr != nullptr) {
      if (lf != end_ && cr + 1 == lf) {  // CR LF already: it stays inside the segment
        p_ = lf + 1;
        lineStart_ = true;
      } else {
        lineEnd(cr, cr + 1);
      }
    } else if (lf != end_) {
      lineEnd(lf, lf + 1);
    } else {
      p_ = end_;
    }
  }
  if (p_ == end_) {
    flush(end_);
    segment_ = end_;
  }
  return n;
}

}  // namespace smtp
