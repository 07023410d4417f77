// A scripted SMTP peer for what a real server will not do on demand: a loopback TCP server on
// its own thread that plays a script against one client (send bytes, possibly split and slowed;
// await a line or the mail data; drop the connection; stay silent), records every byte it
// received, and tells whether the client closed the connection.
#ifndef TESTS_SUPPORT_SCRIPTED_PEER_H
#define TESTS_SUPPORT_SCRIPTED_PEER_H

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "test_text.h"

namespace testsupport {

struct PeerStep {
  enum class Kind { Send, Expect, Drop, Silent };
  Kind kind;
  std::string bytes;                   // Send: what to send; Expect: what ends what is awaited
  std::size_t chunk = 0;               // Send: split into pieces of this size (0 = whole)
  std::chrono::milliseconds pause{0};  // Send: pause before each piece

  static PeerStep send(std::string bytes) { return {Kind::Send, std::move(bytes)}; }
  static PeerStep sendSplit(std::string bytes, std::size_t chunk, std::chrono::milliseconds pause = std::chrono::milliseconds(2)) {
    return {Kind::Send, std::move(bytes), chunk, pause};
  }
  static PeerStep expectLine() { return {Kind::Expect, "\r\n"}; }       // one CR LF line
  static PeerStep expectData() { return {Kind::Expect, "\r\n.\r\n"}; }  // up to CR LF "." CR LF
  static PeerStep drop() { return {Kind::Drop, {}}; }               // close at once
  static PeerStep silent() { return {Kind::Silent, {}}; }           // read, answer nothing
};

// A listening IPv4 socket on a free loopback port; throws when none can be made.
int listenOnLoopback(uint16_t& port, int backlog);

class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<PeerStep> script);
  ~ScriptedPeer();  // not copyable: it owns its thread

  uint16_t port() const { return port_; }
  // Each waits (bounded) until the client has closed the connection or the peer dropped it.
  // The received bytes split into lines at CR LF (the line ends removed), valid with the peer:
  std::vector<std::string_view> lines() {
    finish();
    return testsupport::lines(received_);
  }
  // True when the client closed its end (end of stream seen while reading):
  bool clientClosed() {
    finish();
    return clientClosed_;
  }

 private:
  void run(const std::vector<PeerStep>& script);
  void finish() {
    if (thread_.joinable()) thread_.join();
  }

  uint16_t port_ = 0;  // before listenFd_: the constructor sets both at once
  int listenFd_ = -1;
  std::thread thread_;
  std::string received_;
  bool clientClosed_ = false;
};

}  // namespace testsupport

#endif
