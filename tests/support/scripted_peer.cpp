// The scripted peer's thread: accepts one connection, plays its steps with bounded waits, then
// reads until the client closes (or a bound passes) so the test can see what followed.
#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {
namespace {

constexpr std::chrono::milliseconds kBound{5000};

// Reads what is there within `timeout`; false on end of stream or error.
bool readSome(int fd, std::string& into, std::chrono::milliseconds timeout, bool& closed) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return true;
  char chunk[65536];
  const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
  if (n <= 0) {
    closed = true;
    return false;
  }
  into.append(chunk, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

int listenOnLoopback(uint16_t& port, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(address.sin_port);
  return fd;
}

std::vector<PeerStep> acceptingScript(std::size_t recipients) {
  std::vector<PeerStep> s = {PeerStep::send("220 peer ready\r\n"), PeerStep::expectLine(),
                             PeerStep::send("250 hello\r\n"), PeerStep::expectLine(),
                             PeerStep::send("250 sender ok\r\n")};
  for (std::size_t i = 0; i < recipients; ++i) {
    s.push_back(PeerStep::expectLine());
    s.push_back(PeerStep::send("250 recipient ok\r\n"));
  }
  for (auto step : {PeerStep::expectLine(), PeerStep::send("354 go ahead\r\n"),
                    PeerStep::expectData(), PeerStep::send("250 queued\r\n"),
                    PeerStep::expectLine(), PeerStep::send("221 bye\r\n")})
    s.push_back(step);
  return s;
}

ScriptedPeer::ScriptedPeer(std::vector<PeerStep> script) {
  listenFd_ = listenOnLoopback(port_, 1);
  thread_ = std::thread([this, s = std::move(script)]() mutable { run(std::move(s)); });
}

ScriptedPeer::~ScriptedPeer() {
  finish();
  if (listenFd_ != -1) ::close(listenFd_);
}

void ScriptedPeer::finish() {
  if (thread_.joinable()) thread_.join();
}

void ScriptedPeer::run(std::vector<PeerStep> script) {
  pollfd p{listenFd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(kBound.count())) <= 0) return;
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  std::string seen;      // bytes received, also copied to received_
  std::size_t used = 0;  // how far the script's expectations have consumed `seen`
  bool closed = false;
  bool dropped = false;
  const auto record = [&] {
    std::lock_guard lock(mutex_);
    received_ = seen;
    clientClosed_ = closed;
  };
  const auto awaitText = [&](const std::string& end) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    for (;;) {
      const std::size_t at = seen.find(end, used);
      if (at != std::string::npos) {
        used = at + end.size();
        return true;
      }
      if (closed || std::chrono::steady_clock::now() > deadline) return false;
      readSome(fd, seen, std::chrono::milliseconds(50), closed);
    }
  };
  for (const PeerStep& step : script) {
    bool ok = true;
    switch (step.kind) {
      case PeerStep::Kind::Send: {
        const std::size_t chunk = step.chunk == 0 ? step.bytes.size() : step.chunk;
        for (std::size_t at = 0; ok && at < step.bytes.size(); at += chunk) {
          if (step.pause.count() > 0) std::this_thread::sleep_for(step.pause);
          const std::string piece = step.bytes.substr(at, chunk);
          ok = ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(piece.size());
        }
        break;
      }
      case PeerStep::Kind::ExpectLine: ok = awaitText("\r\n"); break;
      case PeerStep::Kind::ExpectData: ok = awaitText("\r\n.\r\n"); break;
      case PeerStep::Kind::Drop: dropped = true; ok = false; break;
      case PeerStep::Kind::Silent: ok = false; break;  // falls through to the reading below
    }
    record();
    if (!ok) break;
  }
  // Whatever happens next is recorded: further commands, or the client's close.
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!dropped && !closed && std::chrono::steady_clock::now() < deadline) {
    readSome(fd, seen, std::chrono::milliseconds(50), closed);
    record();
  }
  ::close(fd);
  record();
}

std::string ScriptedPeer::received() {
  finish();
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::string> ScriptedPeer::lines() {
  const std::string all = received();
  std::vector<std::string> out;
  std::size_t p = 0;
  for (std::size_t e; (e = all.find("\r\n", p)) != std::string::npos; p = e + 2)
    out.push_back(all.substr(p, e - p));
  if (p < all.size()) out.push_back(all.substr(p));
  return out;
}

bool ScriptedPeer::clientClosed() {
  finish();
  std::lock_guard lock(mutex_);
  return clientClosed_;
}

}  // namespace testsupport
