// Fuzz target: the SMTP client's whole dialogue against whatever a server may send. The input
// is the server's byte stream, cut into replies; a peer thread answers each command the real
// SmtpSendMessage sends over a socketpair with the next one. A model of the dialogue predicts
// the outcome. The same bytes also go through the EHLO extension parser.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "SimpleSMTP/smtp_internal.h"
#include "test_text.h"

namespace {

constexpr std::size_t kMaxStream = 48 * 1024;  // fits the socket buffers set below
constexpr int kBuffer = 256 * 1024;

using testsupport::check;

// The server's stream cut into replies the way SMTP defines them: lines up to LF, a reply
// going on while its lines read "ddd-". A reply the stream ends inside is not complete. The
// reader hands replies on with NUL bytes as blanks.
std::vector<std::string> modelReplies(std::string_view stream) {
  std::vector<std::string> replies;
  std::string current;
  for (std::size_t p = 0, lf; (lf = stream.find('\n', p)) != std::string_view::npos; p = lf + 1) {
    const std::string_view line = stream.substr(p, lf - p);
    for (const char c : stream.substr(p, lf + 1 - p)) current += c == '\0' ? ' ' : c;
    const auto digit = [&](int i) { return line[i] >= '0' && line[i] <= '9'; };
    if (line.size() >= 4 && digit(0) && digit(1) && digit(2) && line[3] == '-') continue;
    replies.push_back(std::move(current));
    current.clear();
  }
  return replies;
}

// What the client must answer: the code, how many commands it may have sent (the mail data
// counts as one), and the reply whose text a refusal hands out (or npos), for a mail with
// `recipients` RCPT TO commands.
struct Expected { int code; std::size_t commands, replyIndex; };

Expected predict(const std::vector<std::string>& replies, std::size_t recipients) {
  std::vector<int> steps = {SMTP_PROTO_GREETING, SMTP_PROTO_HELO, SMTP_PROTO_MAIL};
  steps.insert(steps.end(), recipients, SMTP_PROTO_RCPT);
  steps.insert(steps.end(), {SMTP_PROTO_DATA, SMTP_PROTO_END_OF_DATA, SMTP_PROTO_QUIT});
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const bool quit = steps[i] == SMTP_PROTO_QUIT;
    if (quit || i >= replies.size()) return {quit ? 0 : SMTP_UNLISTED_REPLY, i, std::string::npos};
    if (const int rc = SmtpGetRc(SmtpProto[steps[i]], replies[i].c_str()); rc != 0) return {rc, i, i};
  }
  return {};  // not reached: QUIT ends the steps
}

void sendAll(int fd, std::string_view bytes) {
  for (ssize_t n; !bytes.empty() && (n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) > 0;)
    bytes.remove_prefix(static_cast<std::size_t>(n));  // stops when the client has gone
}

// What the client wrote: how many commands (lines outside the mail data, plus one for the mail
// data), and whether QUIT was one of them.
struct Seen { std::size_t commands = 0; bool quit = false; };

// The server's side: the greeting, then one reply for each command (the mail data counts as
// one once DATA was accepted); when the replies run out, the incomplete rest and the end of
// the stream. Reads up to the client's close.
Seen serve(int fd, const std::vector<std::string>& replies, std::string_view rest) {
  Seen seen;
  std::string sent;
  std::size_t next = 0, scanned = 0;
  bool inData = false;
  const auto answer = [&]() -> std::string {
    if (next < replies.size()) {
      sendAll(fd, replies[next]);
      return replies[next++];
    }
    if (next++ == replies.size()) {
      sendAll(fd, rest);
      ::shutdown(fd, SHUT_WR);
    }
    return {};
  };
  answer();
  char chunk[4096];
  for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
    sent.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = sent.find(inData ? "\r\n.\r\n" : "\r\n", scanned)) != std::string::npos; ++seen.commands) {
      const std::string_view unit = std::string_view(sent).substr(scanned, end - scanned);
      seen.quit = seen.quit || (!inData && unit == "QUIT");
      const bool dataCommand = !inData && unit == "DATA";
      scanned = end + (inData ? 5 : 2);
      const std::string reply = answer();
      inData = dataCommand && SmtpGetRc(SmtpProto[SMTP_PROTO_DATA], reply.c_str()) == 0;
    }
  }
  // Only the mail data may end unfinished (when the stream ended inside it).
  check(inData || scanned == sent.size(), "command without CR LF");
  return seen;
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

  // What an EHLO reply offers is only ever read from a keyword line (not the first, which names
  // the server), and an AUTH mechanism only from a line that names AUTH before it.
  const smtp::Extensions offered = smtp::parseExtensions(stream);
  const auto onALine = [&](std::string_view before, std::string_view word) {
    std::string upper(stream);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t p = upper.find('\n'); p != std::string::npos; p = upper.find('\n', p + 1)) {
      const std::string_view line = std::string_view(upper).substr(p + 1, upper.find('\n', p + 1) - p - 1);
      const std::size_t at = line.find(before);
      if (at != std::string_view::npos && line.find(word, at + before.size()) != std::string_view::npos) return true;
    }
    return false;
  };
  check(!offered.authPlain || onALine("AUTH", "PLAIN"), "AUTH PLAIN found where there is none");
  check(!offered.authLogin || onALine("AUTH", "LOGIN"), "AUTH LOGIN found where there is none");
  check(!offered.startTls || onALine("", "STARTTLS"), "STARTTLS found where there is none");
  check(!offered.pipelining || onALine("", "PIPELINING"), "PIPELINING found where there is none");

  int pair[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  for (const int fd : pair)
    for (const int option : {SO_SNDBUF, SO_RCVBUF}) ::setsockopt(fd, SOL_SOCKET, option, &kBuffer, sizeof kBuffer);
  ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
  Seen seen;
  std::thread peer([&] { seen = serve(pair[1], replies, stream.substr(complete)); });

  std::string to = "rcpt0@example.com";
  for (std::size_t i = 1; i < recipients; ++i) to += "; rcpt" + std::to_string(i) + "@example.com";
  SmtpSession session{};
  std::strcpy(session.localHostName, "client.example.com");
  const char* text = nullptr;
  // Generous: a bound runs out only when a peer thread stalls, never by the input's doing.
  const smtp::ScopedTimeouts bounded(smtp::Millis{5000});
  smtp::setNextSocketForTesting(pair[0]);
  const int code = SmtpSendMessage(&session, "Sender <sender@example.com>", to.c_str(), "", "", "Subject",
                                   "07 Mar 2001 09:05:03 GMT", "", mime ? "caf\xc3\xa9\n.\n" : "line\n.\n", 3, &text);
  peer.join();
  ::close(pair[1]);

  check(text != nullptr && ::strnlen(text, smtp::kReplyBufferSize) < smtp::kReplyBufferSize, "text not terminated");
  const Expected expected = predict(replies, recipients);
  check(code == expected.code && seen.commands == expected.commands, "code, commands",
        std::to_string(code) + ", " + std::to_string(seen.commands) + " expected " + std::to_string(expected.code) + ", " +
            std::to_string(expected.commands));
  check(seen.quit == (code == 0), "QUIT sent after a failure, or missing after success");
  // The text: the server's own reply for a refusal after the greeting (as much of it as the
  // buffer holds), a fixed text for everything else.
  const std::string_view got(text);
  if (expected.replyIndex != std::string::npos && expected.replyIndex > 0)
    check(got == std::string_view(replies[expected.replyIndex]).substr(0, smtp::kReplyBufferSize - 1), "refusal text", text);
  else if (code != 0)
    check(got == (expected.commands == 0 ? "Unknown TCP/IP error" : "Error during communication"), "failure text", text);
  return 0;
}
