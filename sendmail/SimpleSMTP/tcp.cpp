// The TCP transport: the stream connection for a mail, or for several when it is kept (IPv4 or
// IPv6, each address of the server in turn), made and used with bounded waits; the plain stream
// over it.
// Sockets block with TCP_NODELAY and a kernel bound on every wait (connect, each reply read), so
// a round trip costs one system call; writes never block nor raise SIGPIPE and wait through
// poll. The exported Tcp* functions (smtp_c.cpp) are thin edges over these primitives.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "smtp_internal.h"

namespace smtp {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or `timeout` has passed. True when ready.
bool waitFor(int fd, short events, Millis timeout) noexcept {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

void reportSendFailure(int fd) noexcept { std::printf("error send on socket %d\n", fd); }

thread_local int presetSocket = -1;

}  // namespace

bool setWaitBound(int fd, int option, Millis bound) noexcept {
  const long long ms = std::max<long long>(bound.count(), 1);  // zero would mean "forever"
  const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

void setNextSocketForTesting(int fd) noexcept { presetSocket = fd; }

namespace {
socklen_t lengthOf(const sockaddr* address) noexcept {
  return address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// One attempt: a blocking connect that gives up at the send bound; writes never wait in the
// kernel (they pass MSG_DONTWAIT), so the bound concerns the connect alone. On failure `error`
// holds the system's reason (EINPROGRESS when the bound ran out).
int connectOne(const sockaddr* address, Millis bound, int& error) noexcept {
  const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) {
    error = errno;
    return -1;
  }
  error = 0;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  bool connected = false;
  if (setWaitBound(fd, SO_SNDTIMEO, bound)) {
    connected = ::connect(fd, address, lengthOf(address)) == 0;
    error = connected ? 0 : errno;
    // Interrupted, the connect goes on in the background: wait for its outcome.
    if (!connected && error == EINTR) {
      error = EINPROGRESS;
      socklen_t length = sizeof error;
      if (waitFor(fd, POLLOUT, bound) && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      connected = error == 0;
    }
  } else {
    error = errno;
  }
  // A loopback port nobody listens on can be "reached" by TCP's simultaneous open with the
  // socket itself; such a peer never greets, so it counts as a failed connect, refused.
  if (connected && connectedToItself(fd, address)) {
    connected = false;
    error = ECONNREFUSED;
  }
  if (!connected) {
    ::close(fd);
    return -2;
  }
  return fd;
}
}  // namespace

int connectSocket(int* fd, const sockaddr_in6* addresses, int count, Millis bound, int* error) noexcept {
  if (presetSocket != -1) {
    *fd = std::exchange(presetSocket, -1);
    return 0;
  }
  *fd = -1;
  const auto deadline = Clock::now() + bound;
  bool socketMade = false;
  int why = 0;
  if (error == nullptr) error = &why;
  *error = 0;
  for (int i = 0; i < count; ++i) {
    const auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const int got = connectOne(reinterpret_cast<const sockaddr*>(&addresses[i]), left / (count - i), *error);
    if (got >= 0) {
      *fd = got;
      return 0;
    }
    socketMade = socketMade || got == -2;
  }
  return socketMade || count == 0 ? SMTP_TCPIP_CONNECTION_FAILED : SMTP_TCPIP_NO_MORE_SOCKETS;
}

int connectSocket(int* fd, const sockaddr_in& address) noexcept {
  sockaddr_in6 one{};
  std::memcpy(&one, &address, sizeof address);
  return connectSocket(fd, &one, 1, connectTimeout());
}

int connectSession(int* fd, const SmtpSession& session, Millis bound, int* error) noexcept {
  if (session.serverAddressCount > 0) {
    return connectSocket(fd, session.serverAddresses,
                         std::min<int>(session.serverAddressCount, SMTP_MAX_SERVER_ADDRESSES), bound, error);
  }
  sockaddr_in6 one{};
  std::memcpy(&one, &session.serverAddress, sizeof session.serverAddress);
  return connectSocket(fd, &one, 1, bound, error);
}

bool connectedToItself(int fd, const sockaddr* peer) noexcept {
  // Only a socket bound to the very port it connects to can be its own peer, so the local
  // address alone tells (one system call per connect).
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  if (local.ss_family != peer->sa_family) return false;
  if (peer->sa_family == AF_INET6) {
    const auto& mine = reinterpret_cast<const sockaddr_in6&>(local);
    const auto& theirs = *reinterpret_cast<const sockaddr_in6*>(peer);
    return mine.sin6_port == theirs.sin6_port &&
           std::memcmp(&mine.sin6_addr, &theirs.sin6_addr, sizeof mine.sin6_addr) == 0;
  }
  const auto& mine = reinterpret_cast<const sockaddr_in&>(local);
  const auto& theirs = *reinterpret_cast<const sockaddr_in*>(peer);
  return mine.sin_port == theirs.sin_port && mine.sin_addr.s_addr == theirs.sin_addr.s_addr;
}

int sendVector(int fd, iovec* iov, int count, Millis stall) noexcept {
  if (fd < 0) return SMTP_TCPIP_ERROR;
  while (count > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = static_cast<std::size_t>(std::min(count, IOV_MAX));
    const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, stall)) continue;
      reportSendFailure(fd);
      return SMTP_TCPIP_ERROR;
    }
    if (sent == 0) {
      reportSendFailure(fd);
      return SMTP_TCPIP_ERROR;
    }
    // Step past what went out; a partly sent entry continues from where it stopped.
    auto left = static_cast<std::size_t>(sent);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return 0;
}

int sendBytes(int fd, std::string_view bytes, Millis stall) noexcept {
  iovec one{const_cast<char*>(bytes.data()), bytes.size()};
  return sendVector(fd, &one, 1, stall);
}

bool waitReadable(int fd, Millis timeout) noexcept { return waitFor(fd, POLLIN, timeout); }
bool readableNow(int fd) noexcept {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) != 0;
}
bool waitWritable(int fd, Millis timeout) noexcept { return waitFor(fd, POLLOUT, timeout); }

int PlainStream::send(iovec* iov, int count, Millis stall) noexcept {
  return sendVector(fd_, iov, count, stall);
}

long PlainStream::receive(char* buffer, std::size_t size, Millis left) noexcept {
  const auto deadline = Clock::now() + left;
  for (;;) {
    const Millis bound = std::min(left, kReceiveSlice);
    if (bound != armed_) armed_ = setWaitBound(fd_, SO_RCVTIMEO, bound) ? bound : Millis{-1};
    // Without a bound in the kernel the receive must not block: poll waits instead.
    const ssize_t got = ::recv(fd_, buffer, size, armed_.count() < 0 ? MSG_DONTWAIT : 0);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // A slice ran out, or the socket does not block: poll waits for the rest.
    left = std::chrono::ceil<Millis>(deadline - Clock::now());
    if (left.count() <= 0 || !waitReadable(fd_, left)) return -1;
    left = std::chrono::ceil<Millis>(deadline - Clock::now());
  }
}

// Every byte it takes in is handed out at once: the reader holds whatever came with a reply.
long PlainStream::receiveReady(char*, std::size_t) noexcept { return 0; }

bool PlainStream::quiet() noexcept {
  // Readable means bytes (a 421, say) or the end of the stream: either way not usable.
  return !readableNow(fd_);
}

int closeSocket(int fd) noexcept { return ::close(fd) == 0 ? 0 : SMTP_TCPIP_ERROR; }

int receiveText(int fd, char* buffer, std::size_t size) noexcept {
  std::memset(buffer, 0, size);
  if (fd < 0) return SMTP_TCPIP_ERROR;  // poll would ignore it and wait out the bound
  // One byte is kept back so the buffer always ends in a NUL.
  if (size < 2 || !waitReadable(fd, replyTimeout(SMTP_PROTO_GREETING))) return SMTP_TCPIP_ERROR;
  ssize_t got;
  do {
    got = ::recv(fd, buffer, size - 1, 0);
  } while (got < 0 && errno == EINTR);
  return got > 0 ? 0 : SMTP_TCPIP_ERROR;
}

int sendLine(int fd, std::string_view line) noexcept {
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>("\r\n"), 2}};
  return sendVector(fd, parts, 2, writeStallTimeout(SMTP_PROTO_GREETING));
}

}  // namespace smtp
