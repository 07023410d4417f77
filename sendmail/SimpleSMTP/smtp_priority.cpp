// The priority header lines: "Priority:" in three grades and "X-Priority:" with a number from 1
// to 5 and its six-character name. Lines are built in the caller's string, so nothing is shared.
#include "smtp_internal.h"

namespace {
const char* const kPriorityNames[6] = {"      ", "Higest", "High  ", "Normal", "Low   ", "Lowest"};

bool known(signed char priority) noexcept { return priority >= 1 && priority <= 5; }
}  // namespace

namespace smtp {

void appendPriorityLine(std::string& out, signed char priority) {
  if (priority == 1 || priority == 2)
    out += "Priority: High\r\n";
  else if (priority == 4 || priority == 5)
    out += "Priority: Low\r\n";
  else
    out += "Priority: Normal\r\n";
}

void appendXPriorityLine(std::string& out, signed char priority) {
  if (!known(priority)) {
    out += "X-Priority: 3 (Normal)\r\n";
    return;
  }
  out += "X-Priority: ";
  out += static_cast<char>('0' + priority);
  out += " (";
  out += kPriorityNames[priority];
  out += ")\r\n";
}

const char* priorityName(signed char priority) noexcept { return kPriorityNames[known(priority) ? priority : 3]; }

namespace {
template <typename Append>
int sendLine(int socket, signed char priority, Append append) noexcept {
  try {
    std::string line;
    append(line, priority);
    return sendBytes(socket, line, writeStallTimeout(SMTP_PROTO_GREETING));
  } catch (...) {
    return SMTP_TCPIP_NO_MEMORY;
  }
}
}  // namespace

int sendPriority(int socket, signed char priority) noexcept { return sendLine(socket, priority, appendPriorityLine); }
int sendXPriority(int socket, signed char priority) noexcept { return sendLine(socket, priority, appendXPriorityLine); }

}  // namespace smtp
