// The capture server of --dry-run: one thread polls the listening socket and the node's
// connections, answers the plain dialogue (and EHLO) with fixed replies, and keeps each mail's
// envelope and data. A mail is kept before its end of data is answered, so it is there to take
// once the node's evaluation has returned.
#include "capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "report.h"

namespace flowrun {
namespace {

// The node has one connection per evaluating thread at most; a few more are a fault.
constexpr std::size_t kMaxConnections = 16;
// A command line longer than this is no command of the node's.
constexpr std::size_t kMaxCommand = 4096;

void sendText(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n <= 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the node went: its evaluation says so
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool isCommand(std::string_view line, std::string_view verb) {
  if (line.size() < verb.size()) return false;
  for (std::size_t i = 0; i < verb.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(line[i])) != verb[i]) return false;
  }
  return true;
}

}  // namespace

CaptureServer::CaptureServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    error_ = std::string("cannot start the dry run's capture server: ") + std::strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

CaptureServer::~CaptureServer() {
  if (thread_.joinable()) {
    const char stop = 1;
    (void)!::write(wake_[1], &stop, 1);
    thread_.join();
  }
  for (int fd : {listener_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void CaptureServer::serve() {
  struct Session {
    int fd;
    std::string in;
    bool inData = false;
    Mail mail;
  };
  std::vector<Session> sessions;
  // One line from the node: a command, or a line of mail data. False ends the session.
  auto handle = [this](Session& s, std::string_view line) {
    if (s.inData) {
      if (line == ".") {
        s.inData = false;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          taken_.push_back(std::move(s.mail));
        }
        s.mail = {};
        sendText(s.fd, "250 2.0.0 captured, not sent\r\n");
        return true;
      }
      if (!line.empty() && line[0] == '.') line.remove_prefix(1);
      s.mail.data.append(line).append("\r\n");
      return true;
    }
    if (isCommand(line, "HELO") || isCommand(line, "EHLO")) {
      sendText(s.fd, "250 flowrun dry run\r\n");
    } else if (isCommand(line, "MAIL")) {
      s.mail = {{std::string(line)}, {}};
      sendText(s.fd, "250 2.1.0 OK\r\n");
    } else if (isCommand(line, "RCPT")) {
      s.mail.envelope.emplace_back(line);
      sendText(s.fd, "250 2.1.5 OK\r\n");
    } else if (isCommand(line, "DATA")) {
      s.inData = true;
      sendText(s.fd, "354 go ahead\r\n");
    } else if (isCommand(line, "RSET") || isCommand(line, "NOOP")) {
      if (isCommand(line, "RSET")) s.mail = {};
      sendText(s.fd, "250 2.0.0 OK\r\n");
    } else if (isCommand(line, "QUIT")) {
      sendText(s.fd, "221 2.0.0 bye\r\n");
      return false;
    } else {
      sendText(s.fd, "502 5.5.1 not known to the dry run\r\n");
    }
    return true;
  };
  // What arrived on a session; false when it ended.
  auto receive = [&handle](Session& s) {
    char buffer[65536];
    const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
    if (n <= 0) return n < 0 && errno == EINTR;
    s.in.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = s.in.find("\r\n", start)) != std::string::npos; start = end + 2) {
      if (!handle(s, std::string_view(s.in).substr(start, end - start))) return false;
    }
    s.in.erase(0, start);
    return s.inData || s.in.size() <= kMaxCommand;
  };

  for (;;) {
    std::vector<pollfd> watched = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const Session& s : sessions) watched.push_back({s.fd, POLLIN, 0});
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[0].revents != 0) break;
    for (std::size_t i = sessions.size(); i-- > 0;) {
      if (watched[i + 2].revents == 0 || receive(sessions[i])) continue;
      ::close(sessions[i].fd);
      sessions.erase(sessions.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (watched[1].revents != 0) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0 && sessions.size() >= kMaxConnections) {
        ::close(fd);
      } else if (fd >= 0) {
        sendText(fd, "220 flowrun dry run: mail is captured, never sent\r\n");
        sessions.push_back({fd, {}, false, {}});
      }
    }
  }
  for (const Session& s : sessions) ::close(s.fd);
}

std::string CaptureServer::take() {
  std::vector<Mail> mails;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mails.swap(taken_);
  }
  std::string text;
  for (const Mail& mail : mails) {
    for (const std::string& command : mail.envelope) text += "  " + printable(command) + '\n';
    const auto lines = static_cast<std::size_t>(std::count(mail.data.begin(), mail.data.end(), '\n'));
    text += "  DATA: " + counted(mail.data.size(), "byte") + ", " + counted(lines, "line") + '\n';
    std::size_t start = 0;
    for (std::size_t end; (end = mail.data.find("\r\n", start)) != std::string::npos; start = end + 2) {
      text += "  | " + printable(std::string_view(mail.data).substr(start, end - start), false, true) + '\n';
    }
  }
  return text;
}

}  // namespace flowrun
