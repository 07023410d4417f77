// The dry run's capture server: a small SMTP server inside the runner, on a loopback port, that
// takes every mail the node sends and keeps its envelope and data as a server would store them,
// so that a dry run shows exactly what the node wrote and no mail leaves the machine.
#ifndef FLOWRUN_CAPTURE_H
#define FLOWRUN_CAPTURE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace flowrun {

class CaptureServer {
 public:
  // Listens on 127.0.0.1 at a free port and serves on a thread of its own; error() says why not.
  CaptureServer();
  ~CaptureServer();
  CaptureServer(const CaptureServer&) = delete;
  CaptureServer& operator=(const CaptureServer&) = delete;

  const std::string& error() const { return error_; }
  std::uint16_t port() const { return port_; }

  // The mails taken since the last call, as lines to show under a message's line: the
  // envelope's commands as received, then the data's size and its lines, each behind "| ".
  std::string take();

 private:
  struct Mail {
    std::vector<std::string> envelope;  // MAIL FROM and RCPT TO as the node sent them
    std::string data;                   // dot-stuffing undone, as a server stores it
  };
  void serve();

  int listener_ = -1;
  int wake_[2] = {-1, -1};  // written to stop the thread
  std::uint16_t port_ = 0;
  std::string error_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Mail> taken_;
};

}  // namespace flowrun

#endif
