// Text helpers shared by the suites and the fuzz targets: the body as the wire must carry it,
// and text split into its CR LF lines; and the fuzz targets' invariant check. Header-only, so the
// fuzz targets (no GoogleTest) use it too.
#ifndef TESTS_SUPPORT_TEST_TEXT_H
#define TESTS_SUPPORT_TEST_TEXT_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// Every CR LF, lone CR and lone LF as CR LF.
inline std::string crlf(std::string_view body) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\n' || (body[i] == '\r' && body.substr(i + 1, 1) != "\n")) out += "\r\n";
    else if (body[i] != '\r') out += body[i];
  }
  return out;
}

// The lines of `text` without their CR LF; a last line without one counts unless it is empty.
inline std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find("\r\n", start), text.size());
    out.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

// For the fuzz targets: ends the run when an invariant does not hold, naming it and showing the
// start of the text at fault.
inline void check(bool holds, const char* what, std::string_view detail = {}) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(std::min<std::size_t>(detail.size(), 80)),
               detail.data());
  std::abort();
}

}  // namespace testsupport

#endif
