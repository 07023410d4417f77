// Text helpers shared by the suites and the fuzz targets: the body as the wire must carry it.
// Header-only, so the fuzz targets (no GoogleTest) use it too.
#ifndef TESTS_SUPPORT_TEST_TEXT_H
#define TESTS_SUPPORT_TEST_TEXT_H

#include <string>
#include <string_view>

namespace testsupport {

// Every CR LF, lone CR and lone LF as CR LF.
inline std::string crlf(std::string_view body) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\r' && body[i] != '\n') {
      out += body[i];
      continue;
    }
    out += "\r\n";
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
  }
  return out;
}

}  // namespace testsupport

#endif
