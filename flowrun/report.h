// What the runner tells the user besides outcomes: text made safe for a terminal, and the
// warnings, once per run, about what the node will silently ignore or default.
#ifndef FLOWRUN_REPORT_H
#define FLOWRUN_REPORT_H

#include <iosfwd>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "memhost.h"

namespace flowrun {

struct InputMessage;

// `text` with every control character (C0, DEL, C1) shown as an escape such as \x1b, so that
// no input file, server reply or log text can drive the terminal. Line ends become blanks when
// `oneLine` is set (a server's multi-line reply on one line).
std::string printable(std::string_view text, bool oneLine = false);

// True for a decimal port number from 1 to 65535.
bool isPortNumber(const std::string& text);

class Warnings {
 public:
  // One warning of `kind`; the first text given for each kind is the one printed.
  void add(const std::string& kind, const std::string& text);

  // The node's attribute values it will replace by a default, a Bcc list written with ',',
  // attributes that do nothing without another one, and credentials sent unverified.
  void checkAttributes(memhost::Node& node);
  // Fields the node does not read, recipient lists written with ',', and no sender at all.
  void checkMessage(const InputMessage& message);

  // Each warning once, on its own line.
  void print(std::ostream& err) const;

 private:
  std::vector<std::pair<std::string, std::string>> warnings_;
  std::set<std::string> unknownFields_;
  std::string firstUnknown_;  // the message that held the first of them
  bool nodeSender_ = false;
};

}  // namespace flowrun

#endif
