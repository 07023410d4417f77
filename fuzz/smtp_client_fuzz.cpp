// Fuzz target: the SMTP client's whole dialogue against whatever a server may send. The input
// is the server's byte stream, cut into replies; a peer thread answers each command the real
// SmtpSendMessage sends over a socketpair with the next one. A model of the dialogue predicts
// the outcome. The same bytes also go through the EHLO extension parser.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "SimpleSMTP/smtp_internal.h"

namespace {

constexpr std::size_t kMaxStream = 48 * 1024;  // fits the socket buffers set below
constexpr int kBuffer = 256 * 1024;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

// The server's stream cut into replies the way SMTP defines them: lines up to LF, a reply
// going on while its lines read "ddd-". A reply the stream ends inside is not complete.
std::vector<std::string> modelReplies(std::string_view stream) {
  std::vector<std::string> replies;
  std::string current;
  std::size_t p = 0;
  while (p < stream.size()) {
    const std::size_t lf = stream.find('\n', p);
    if (lf == std::string_view::npos) break;
    const std::string_view line = stream.substr(p, lf - p);
    current.append(stream.substr(p, lf + 1 - p));
    // The reader hands replies on with NUL bytes as blanks.
    for (std::size_t i = current.size() - (lf + 1 - p); i < current.size(); ++i)
      if (current[i] == '\0') current[i] = ' ';
    p = lf + 1;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const bool goesOn =
        line.size() >= 4 && digit(line[0]) && digit(line[1]) && digit(line[2]) && line[3] == '-';
    if (!goesOn) {
      replies.push_back(current);
      current.clear();
    }
  }
  return replies;
}

// What the client must answer: the code, and how many commands it may have sent (the mail
// data counts as one), for a mail with `recipients` RCPT TO commands.
struct Expected {
  int code;
  std::size_t commands;
  std::size_t replyIndex;  // the reply whose text a refusal hands out, or npos
};

Expected predict(const std::vector<std::string>& replies, std::size_t recipients) {
  std::vector<int> steps = {SMTP_PROTO_GREETING, SMTP_PROTO_HELO, SMTP_PROTO_MAIL};
  steps.insert(steps.end(), recipients, SMTP_PROTO_RCPT);
  steps.push_back(SMTP_PROTO_DATA);
  steps.push_back(SMTP_PROTO_END_OF_DATA);
  steps.push_back(SMTP_PROTO_QUIT);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const bool quit = steps[i] == SMTP_PROTO_QUIT;
    if (i >= replies.size()) return {quit ? 0 : SMTP_UNLISTED_REPLY, i, std::string::npos};
    const int rc = SmtpGetRc(SmtpProto[steps[i]], replies[i].c_str());
    if (quit) return {0, i, std::string::npos};
    if (rc != 0) return {rc, i, i};
  }
  return {0, steps.size() - 1, std::string::npos};
}

// Commands the client wrote: lines outside the mail data, plus one for the mail data.
std::size_t countCommands(std::string_view sent, bool& quit) {
  std::size_t commands = 0;
  std::size_t p = 0;
  quit = false;
  while (p < sent.size()) {
    std::size_t end = sent.find("\r\n", p);
    if (end == std::string_view::npos) fail("command without CR LF");
    const std::string_view line = sent.substr(p, end - p);
    ++commands;
    p = end + 2;
    if (line == "QUIT") quit = true;
    if (line == "DATA" && p < sent.size()) {
      const std::size_t dataEnd = sent.find("\r\n.\r\n", p);
      if (dataEnd == std::string_view::npos) {
        p = sent.size();  // the write was cut off (allowed only when the stream ended)
        continue;
      }
      ++commands;
      p = dataEnd + 5;
    }
  }
  return commands;
}

void setBuffers(int fd) {
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kBuffer, sizeof kBuffer);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kBuffer, sizeof kBuffer);
}

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;  // the client has gone
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The server's side: the greeting, then one reply for each command (the mail data counts as
// one once DATA was accepted); when the replies run out, the incomplete rest and the end of
// the stream. Returns everything the client wrote, up to its close.
std::string serve(int fd, const std::vector<std::string>& replies, std::string_view rest) {
  std::string sent;
  std::size_t next = 0;
  bool inData = false;
  std::size_t scanned = 0;
  const auto answer = [&] {
    if (next < replies.size()) {
      const std::string& reply = replies[next++];
      inData = false;
      sendAll(fd, reply);
      return reply;
    }
    if (next++ == replies.size()) {
      sendAll(fd, rest);
      ::shutdown(fd, SHUT_WR);
    }
    return std::string();
  };
  answer();
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    sent.append(chunk, static_cast<std::size_t>(n));
    for (;;) {
      const std::size_t end = sent.find(inData ? "\r\n.\r\n" : "\r\n", scanned);
      if (end == std::string::npos) break;
      const bool data = inData;
      const std::size_t lineStart = scanned;
      scanned = end + (data ? 5 : 2);
      const bool isDataCommand = !data && sent.compare(lineStart, end - lineStart, "DATA") == 0;
      const std::string reply = answer();
      inData = isDataCommand && SmtpGetRc(SmtpProto[SMTP_PROTO_DATA], reply.c_str()) == 0;
    }
  }
  return sent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxStream + 1) return -1;
  // First byte: how many recipients (1 to 4) and whether the body needs MIME.
  const std::size_t recipients = 1 + (data[0] & 3);
  const bool mime = (data[0] & 4) != 0;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  const auto replies = modelReplies(stream);
  std::size_t complete = 0;
  for (const auto& reply : replies) complete += reply.size();
  const std::string_view rest = stream.substr(complete);

  // What an EHLO reply offers is only ever read from the reply's keyword lines.
  const smtp::Extensions offered = smtp::parseExtensions(stream);
  if ((offered.authPlain || offered.authLogin) && stream.find_first_of("aA") == std::string_view::npos)
    fail("AUTH found where there is none");

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
  setBuffers(pair[0]);
  setBuffers(pair[1]);
  const int server = pair[1];
  ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
  std::string sent;
  std::thread peer([&] { sent = serve(server, replies, rest); });

  std::string to;
  for (std::size_t i = 0; i < recipients; ++i) {
    if (i != 0) to += "; ";
    to += "rcpt" + std::to_string(i) + "@example.com";
  }
  SmtpSession session{};
  std::strcpy(session.localHostName, "client.example.com");
  const char* text = nullptr;
  int code;
  {
    // Generous: a bound runs out only when a peer thread stalls, never by the input's doing.
    const smtp::ScopedTimeouts bounded(smtp::Millis{5000});
    smtp::setNextSocketForTesting(pair[0]);
    code = SmtpSendMessage(&session, "Sender <sender@example.com>", to.c_str(), "", "", "Subject",
                           "07 Mar 2001 09:05:03 GMT", "", mime ? "caf\xc3\xa9\n.\n" : "line\n.\n", 3,
                           &text);
  }
  peer.join();
  ::close(server);

  if (text == nullptr) fail("no text");
  if (::strnlen(text, smtp::kReplyBufferSize) >= smtp::kReplyBufferSize) fail("text not terminated");

  const Expected expected = predict(replies, recipients);
  if (code != expected.code)
    fail("code", std::to_string(code) + " expected " + std::to_string(expected.code));
  bool quit = false;
  const std::size_t commands = countCommands(sent, quit);
  if (commands != expected.commands)
    fail("commands", std::to_string(commands) + " expected " + std::to_string(expected.commands));
  if (quit != (code == 0)) fail("QUIT sent after a failure, or missing after success");
  // The text: the server's own reply for a refusal after the greeting (as much of it as the
  // buffer holds), a fixed text for everything else.
  const std::string_view got(text);
  if (expected.replyIndex != std::string::npos && expected.replyIndex > 0) {
    if (got != std::string_view(replies[expected.replyIndex]).substr(0, smtp::kReplyBufferSize - 1))
      fail("refusal text", text);
  } else if (code != 0) {
    const std::string_view fixed = expected.commands == 0 ? "Unknown TCP/IP error" : "Error during communication";
    if (got != fixed) fail("failure text", text);
  }
  return 0;
}
