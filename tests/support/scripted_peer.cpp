// The scripted peer's thread: accepts one connection, plays its steps with bounded waits, then
// reads until the client closes (or a bound passes) so the test can see what followed. The
// results are read only after the thread is joined, so they need no lock.
#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

int listenOnLoopback(uint16_t& port, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(address.sin_port);
  return fd;
}

ScriptedPeer::ScriptedPeer(std::vector<PeerStep> script) : listenFd_(listenOnLoopback(port_, 1)) {
  thread_ = std::thread([this, s = std::move(script)] { run(s); });
}

ScriptedPeer::~ScriptedPeer() {
  finish();
  ::close(listenFd_);
}

void ScriptedPeer::run(const std::vector<PeerStep>& script) {
  constexpr int kBoundMs = 5000;
  pollfd p{listenFd_, POLLIN, 0};
  if (::poll(&p, 1, kBoundMs) <= 0) return;
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // Reads what comes within 50 ms into received_; false once the client has closed.
  const auto readSome = [&] {
    pollfd in{fd, POLLIN, 0};
    if (::poll(&in, 1, 50) <= 0) return true;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n > 0) received_.append(chunk, static_cast<std::size_t>(n));
    clientClosed_ = n <= 0;
    return n > 0;
  };
  std::size_t used = 0;  // how far the script's expectations have consumed received_
  const auto awaitText = [&](std::string_view end) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    std::size_t at;
    while ((at = received_.find(end, used)) == std::string::npos)
      if (!readSome() || std::chrono::steady_clock::now() > deadline) return false;
    used = at + end.size();
    return true;
  };
  bool ok = true, dropped = false;
  for (std::size_t i = 0; ok && i < script.size(); ++i) {
    const PeerStep& step = script[i];
    if (step.kind == PeerStep::Kind::Expect) ok = awaitText(step.bytes);
    if (step.kind == PeerStep::Kind::Drop || step.kind == PeerStep::Kind::Silent) {
      dropped = step.kind == PeerStep::Kind::Drop;
      ok = false;  // silent: on to the reading below
    }
    const std::size_t chunk = step.chunk == 0 ? step.bytes.size() : step.chunk;
    for (std::size_t at = 0; ok && step.kind == PeerStep::Kind::Send && at < step.bytes.size(); at += chunk) {
      std::this_thread::sleep_for(step.pause);
      const std::string piece = step.bytes.substr(at, chunk);
      ok = ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(piece.size());
    }
  }
  // Whatever happens next is recorded: further commands, or the client's close.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!dropped && readSome() && std::chrono::steady_clock::now() < deadline) {
  }
  ::close(fd);
}

}  // namespace testsupport
