// Servers that try to hold the client: continuation lines without end, a socket connected to
// itself. Every step's time bound must hold however the bytes keep coming, so a broken or
// hostile server cannot keep a broker thread. (A reply dripped a byte at a time is a row of the
// client's fault table, where every row is held to its bound.)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "SimpleSMTP/smtp_internal.h"
#include "scripted_peer.h"

namespace {

using std::chrono::milliseconds;

std::string repeated(const std::string& line, std::size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += line;
  return out;
}

// A flood of continuation lines, made exact: a socket full of them and a bound that has run
// out. The reader must stop at its bound however many bytes wait, so it reads none of them.
TEST(HostileServer, TheReplyBoundStopsReadingWhileBytesKeepWaiting) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
  const std::string lines = repeated("250-and more\r\n", 4096);
  std::size_t queued = 0;
  for (ssize_t n; (n = ::send(pair[1], lines.data(), lines.size(), MSG_NOSIGNAL)) > 0;)
    queued += static_cast<std::size_t>(n);
  ASSERT_GT(queued, lines.size());

  smtp::PlainStream stream(pair[0]);
  smtp::ReplyReader reader(stream);
  char reply[smtp::kReplyBufferSize];
  EXPECT_FALSE(reader.read(reply, sizeof reply, milliseconds(0)));
  EXPECT_EQ(reply[0], '\0');
  int unread = 0;
  ASSERT_EQ(::ioctl(pair[0], FIONREAD, &unread), 0);
  EXPECT_EQ(static_cast<std::size_t>(unread), queued) << "the reader went on past its bound";
  ::close(pair[0]);
  ::close(pair[1]);
}

// A connect to a loopback port that nobody listens on, in the range the kernel picks local
// ports from, can meet itself: TCP's simultaneous open connects the socket to its own port.
// Such a "server" never greets, so the mail would wait out the whole greeting bound (seen in a
// soak run against a sink that had gone). The connect must count it as failed. The kernel
// makes one on demand when a socket bound to a port connects to that same port.
TEST(HostileServer, ASocketConnectedToItselfIsNoServer) {
  uint16_t port = 0;
  ::close(testsupport::listenOnLoopback(port, 1));  // a free port, given back at once
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
      << "the kernel did not make the simultaneous open";
  EXPECT_TRUE(smtp::connectedToItself(fd, address));
  ::close(fd);

  // A real peer is not itself.
  uint16_t listening = 0;
  const int listener = testsupport::listenOnLoopback(listening, 1);
  address.sin_port = htons(listening);
  int client = -1;
  ASSERT_EQ(smtp::connectSocket(&client, address), 0);
  EXPECT_FALSE(smtp::connectedToItself(client, address));
  ::close(client);
  ::close(listener);
}

}  // namespace
