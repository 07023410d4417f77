// The one reply reader: collects a whole SMTP reply however the server splits it, however many
// lines it has and however long it is, within the step's time bound. Every edge case of reading
// lives here: split and multi-line replies, over-long replies, control bytes, end, reset,
// silence, stray bytes that came with an earlier reply (dropped; later ones are read as the next
// reply and judged by its step), and secrets a server echoes (starred out).
// Also what an EHLO reply offers, a reply made one line of text to hand out, and the trace of a
// connection's lines, which sees each reply as this reader hands it on.
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

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

// A byte the reader hands on as a blank: every control byte but TAB and the line ends, which
// the reply's lines need (an EHLO reply is read line by line).
bool blanked(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t' && c != '\r' && c != '\n') || u == 0x7f;
}

// The reply with its lines joined (line ends and the "ddd-" or "ddd " of every line after the
// first left out), and where each of its bytes lies in the reply.
void joinLines(const char* reply, std::string& joined, std::vector<unsigned short>& at) {
  joined.clear();
  at.clear();
  bool lineStart = false;
  for (std::size_t i = 0; reply[i] != '\0'; ++i) {
    if (reply[i] == '\r' || reply[i] == '\n') {
      lineStart = true;
      continue;
    }
    if (std::exchange(lineStart, false) && hasReplyCode(reply + i)) {
      i += reply[i + 3] == ' ' || reply[i + 3] == '-' ? 3 : 2;
      continue;
    }
    joined += reply[i];
    at.push_back(static_cast<unsigned short>(i));
  }
}

// Stars out every secret form in the reply (in a buffer of `size` bytes), or keeps only its code.
void scrub(char* reply, std::size_t size, const Secrets& secrets) noexcept {
  constexpr std::string_view kWithheld = " (reply text withheld)";
  if (secrets.withhold) {
    const std::size_t code = hasReplyCode(reply) ? 3 : 0;
    const std::size_t n = std::min(kWithheld.size(), size - 1 - std::min(code, size - 1));
    std::memcpy(reply + code, kWithheld.data(), n);
    reply[code + n] = '\0';
    return;
  }
  try {
    thread_local std::string joined;
    thread_local std::vector<unsigned short> at;
    joinLines(reply, joined, at);
    for (const std::string& form : secrets.forms) {
      for (std::size_t p = joined.find(form); p != std::string::npos; p = joined.find(form, p + 1))
        for (std::size_t k = p; k < p + form.size(); ++k) reply[at[k]] = '*';
    }
  } catch (...) {  // no memory to join: only the code rather than risk the secret
    reply[hasReplyCode(reply) ? 3 : 0] = '\0';
  }
}

}  // namespace

bool hasReplyCode(const char* reply) noexcept {
  return isDigit(reply[0]) && isDigit(reply[1]) && isDigit(reply[2]) &&
         (reply[3] == ' ' || reply[3] == '-' || reply[3] == '\r' || reply[3] == '\n' || reply[3] == '\0');
}

void makeOneLine(char* text) noexcept {
  char* out = text;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') {
      while (p[1] == '\r' || p[1] == '\n') ++p;
      if (p[1] != '\0') *out++ = ' ';
      continue;
    }
    // A C1 control character in UTF-8: two bytes, 0xC2 then 0x80 to 0x9F.
    if (static_cast<unsigned char>(p[0]) == 0xc2 && static_cast<unsigned char>(p[1]) >= 0x80 &&
        static_cast<unsigned char>(p[1]) <= 0x9f) {
      *out++ = ' ';
      ++p;
      continue;
    }
    *out++ = blanked(*p) ? ' ' : *p;
  }
  *out = '\0';
}

namespace {
std::atomic<unsigned long> tracedConnections{0};

bool startsWithWord(std::string_view line, std::string_view word) noexcept {
  if (line.size() <= word.size() || line[word.size()] != ' ') return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if ((line[i] >= 'a' && line[i] <= 'z' ? line[i] - 32 : line[i]) != word[i]) return false;
  }
  return true;
}
}  // namespace

Tracer::Tracer(TraceSink sink, std::string server) noexcept
    : sink_(sink), server_(std::move(server)), number_(++tracedConnections) {}

void Tracer::emit(TraceKind kind, std::string_view line) noexcept {
  try {
    thread_local std::string clean;
    clean.assign(line);
    for (std::size_t i = 0; i < clean.size(); ++i) {
      const auto c = static_cast<unsigned char>(clean[i]);
      if (c < 0x20 || c == 0x7f) clean[i] = ' ';
      // A C1 control character in UTF-8: 0xC2 then 0x80 to 0x9F.
      if (c == 0xc2 && i + 1 < clean.size() && static_cast<unsigned char>(clean[i + 1]) <= 0x9f &&
          static_cast<unsigned char>(clean[i + 1]) >= 0x80)
        clean[i] = clean[i + 1] = ' ';
    }
    sink_(kind, server_, number_, clean);
  } catch (...) {
    // No memory for the entry: the trace misses it, the mail does not.
  }
}

void Tracer::sent(std::string_view lines) noexcept {
  // An empty line (XOAUTH2's answer to an error challenge) is a line sent too.
  if (lines.empty() && credentials_) emit(TraceKind::Sent, "****");
  while (!lines.empty()) {
    const std::size_t end = lines.find("\r\n");
    std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 2);
    if (credentials_) {
      line = "****";
    } else if (startsWithWord(line, "AUTH")) {
      // "AUTH PLAIN ****": the mechanism stays, whatever follows it goes.
      const std::size_t mechanismEnd = line.find(' ', 5);
      credentials_ = true;
      if (mechanismEnd != std::string_view::npos) {
        thread_local std::string masked;
        masked.assign(line.substr(0, mechanismEnd)).append(" ****");
        emit(TraceKind::Sent, masked);
        continue;
      }
    }
    emit(TraceKind::Sent, line);
  }
}

void Tracer::received(const char* reply) noexcept {
  for (std::string_view rest = reply; !rest.empty();) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    emit(TraceKind::Received, line);
  }
  // The server asks for more credentials only with 334; any other reply ends AUTH.
  credentials_ = credentials_ && std::strncmp(reply, "334", 3) == 0;
}

void Tracer::note(std::string_view text) noexcept { emit(TraceKind::Note, text); }

Secrets::~Secrets() {
  for (std::string& form : forms) OPENSSL_cleanse(form.data(), form.size());
}

void ReplyReader::dropStray() noexcept {
  if (!strict_) return;
  begin_ = end_ = 0;
  for (std::size_t dropped = 0; dropped < kReplyBufferSize;) {
    const long got = stream_->receiveReady(in_.data(), in_.size());
    if (got <= 0) break;
    dropped += static_cast<std::size_t>(got);
  }
}

void ReplyReader::switchTo(Stream& stream) noexcept {
  stream_ = &stream;
  begin_ = end_ = 0;
}

bool ReplyReader::read(char* buffer, std::size_t size, Millis timeout) noexcept {
  const auto deadline = Clock::now() + timeout;
  ending_ = {};
  const std::size_t room = size - 1;  // one byte always left for the NUL
  std::size_t kept = 0;
  char head[4] = {};
  std::size_t lineLength = 0;  // bytes of the current line seen so far, kept or not
  Millis left = timeout;
  for (;;) {
    if (begin_ == end_) {
      if (left.count() <= 0) {
        ending_.silent = true;
        break;
      }
      const long got = stream_->receive(in_.data(), in_.size(), left);
      if (got <= 0) {  // end of connection, reset or silence
        ending_.silent = got < 0 && Clock::now() >= deadline;
        break;
      }
      left = std::chrono::ceil<Millis>(deadline - Clock::now());
      begin_ = 0;
      end_ = static_cast<std::size_t>(got);
    }
    const char* chunk = in_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const void* lf = std::memchr(chunk, '\n', available);
    const std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - chunk) + 1
                                : available;
    for (std::size_t i = 0; i < take && ending_.got < sizeof ending_.first; ++i)
      ending_.first[ending_.got++] = static_cast<unsigned char>(chunk[i]);
    const std::size_t keep = std::min(take, room - kept);
    for (std::size_t i = 0; i < keep; ++i) buffer[kept + i] = blanked(chunk[i]) ? ' ' : chunk[i];
    kept += keep;
    for (std::size_t i = 0; lineLength + i < 4 && i < take; ++i) head[lineLength + i] = chunk[i];
    lineLength += take;
    begin_ += take;
    if (lf == nullptr) continue;
    if (!continues(head, lineLength - 1)) {
      buffer[kept] = '\0';
      if (secrets_ != nullptr) scrub(buffer, size, *secrets_);
      if (tracer_ != nullptr) tracer_->received(buffer);
      return true;
    }
    lineLength = 0;
  }
  buffer[0] = '\0';
  return false;
}

Exchange awaitReply(ReplyReader& reader, int step, char* reply) noexcept {
  if (!reader.read(reply, kReplyBufferSize, reader.bounds().reply(step))) return {kLost, true};
  return {judge(step, reply), false};
}

Exchange command(ReplyReader& reader, int step, std::string_view line, char* reply) noexcept {
  reader.dropStray();
  if (Tracer* tracer = reader.tracer()) tracer->sent(line);
  iovec out[2] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>("\r\n"), 2}};
  if (reader.stream().send(out, 2, reader.bounds().stall(step)) != 0) {
    reply[0] = '\0';
    return {kLost, true};
  }
  return awaitReply(reader, step, reply);
}

namespace {
bool keyword(std::string_view line, std::string_view word) noexcept {
  if (line.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char c = line[i] >= 'a' && line[i] <= 'z' ? static_cast<char>(line[i] - 32) : line[i];
    if (c != word[i]) return false;
  }
  return line.size() == word.size() || line[word.size()] == ' ' || line[word.size()] == '=';
}
}  // namespace

Extensions parseExtensions(std::string_view reply) noexcept {
  Extensions offered;
  bool first = true;
  while (!reply.empty()) {
    const std::size_t lf = reply.find('\n');
    std::string_view line = reply.substr(0, lf);
    reply.remove_prefix(lf == std::string_view::npos ? reply.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // "250-KEYWORD params" or "250 KEYWORD"; the first line names the server instead.
    if (std::exchange(first, false) || line.size() < 5) continue;
    line.remove_prefix(4);
    if (keyword(line, "STARTTLS")) offered.startTls = true;
    if (keyword(line, "SMTPUTF8")) offered.smtpUtf8 = true;
    if (keyword(line, "PIPELINING")) offered.pipelining = true;
    if (keyword(line, "AUTH")) {
      // Mechanisms follow "AUTH" (or the obsolete "AUTH=") separated by blanks; a bare "AUTH"
      // offers none.
      for (std::string_view rest = line.substr(std::min<std::size_t>(line.size(), 5)); !rest.empty();) {
        const std::size_t blank = rest.find(' ');
        const std::string_view mechanism = rest.substr(0, blank);
        if (keyword(mechanism, "PLAIN")) offered.authPlain = true;
        if (keyword(mechanism, "LOGIN")) offered.authLogin = true;
        if (keyword(mechanism, "XOAUTH2")) offered.authXOAuth2 = true;
        if (keyword(mechanism, "OAUTHBEARER")) offered.authOAuthBearer = true;
        rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
      }
    }
  }
  return offered;
}

}  // namespace smtp
