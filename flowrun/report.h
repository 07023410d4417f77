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
// `oneLine` is set (a server's multi-line reply on one line); `keepTab` leaves TAB as it is
// (a mail line shown as the node wrote it).
std::string printable(std::string_view text, bool oneLine = false, bool keepTab = false);

// "1 message", "2 messages": `count` and the noun, plural unless it is one.
std::string counted(std::size_t count, std::string_view noun);

// True for a decimal port number from 1 to 65535.
bool isPortNumber(const std::string& text);

class Warnings {
 public:
  // One warning of `kind`; the first text given for each kind is the one printed.
  void add(const std::string& kind, const std::string& text);

  // The node's attribute values it will replace by a default, a Bcc list written with ',',
  // attributes that do nothing without another one, and credentials sent unverified.
  void checkAttributes(memhost::Node& node);
  // Fields the node does not read (and children of Attachment and Data that neither the node
  // nor the runner reads), recipient lists written with ',', no sender, no recipient.
  void checkMessage(const InputMessage& message);

  // Each warning once, on its own line.
  void print(std::ostream& err) const;

  // Where in a message a name went unread: the fields, an Attachment's children, a Data's.
  enum Level { kField, kAttachmentPart, kDataPart, kLevels };

 private:
  void unread(Level level, const std::string& name, const std::string& label);

  std::vector<std::pair<std::string, std::string>> warnings_;
  struct Unread {
    std::set<std::string> names;
    std::string first;  // the message that held the first of them
  };
  Unread unread_[kLevels];
  bool nodeSender_ = false;
  bool nodeRecipient_ = false;  // the node's Bcc attribute names someone
};

}  // namespace flowrun

#endif
