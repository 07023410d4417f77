// Which header fields a message may add to its mail. Both the plug-in (which skips the others)
// and the runner (which warns about them) apply it, and the runner sees nothing else of the
// plug-in.
#ifndef COMMON_HEADER_RULE_H
#define COMMON_HEADER_RULE_H

#include <string_view>

namespace richmail {

// Why a header field a message asks for is never sent, or null when it may be. Valid names are
// RFC 5322 field names (printable ASCII but ":") short enough to leave room for a value on the
// line; the fields the node writes itself, and Bcc, which must stay blind, are not the message's.
inline const char* headerRefusal(std::string_view name) noexcept {
  if (name.empty() || name.size() > 76) return "not a valid header field name";
  for (const char c : name) {
    if (c < 33 || c > 126 || c == ':') return "not a valid header field name";
  }
  // Case-insensitive: does the name begin with `own` (lower case), or equal it when `whole`?
  const auto starts = [name](std::string_view own, bool whole) {
    if (name.size() < own.size() || (whole && name.size() != own.size())) return false;
    for (std::size_t i = 0; i < own.size(); ++i) {
      const char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
      if (c != own[i]) return false;
    }
    return true;
  };
  static constexpr std::string_view kOwn[] = {"from",     "to",         "cc",       "bcc",        "date",
                                              "subject",  "message-id", "priority", "importance", "reply-to",
                                              "x-priority", "x-mailer", "mime-version"};
  for (const std::string_view own : kOwn) {
    if (starts(own, true)) return "written by the node itself";
  }
  if (starts("content-", false)) return "written by the node itself";
  return nullptr;
}

}  // namespace richmail

#endif
