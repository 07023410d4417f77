// Helpers shared by the frame tests: CciChar strings from and to UTF-8 literals, and a fixture
// that starts every test from a clean in-memory host.
#ifndef TESTS_FRAME_TEST_SUPPORT_H
#define TESTS_FRAME_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "SendMailPlugIn.h"
#include "memhost.h"
#include "node_internal.h"

namespace frametest {

// A terminated CciChar string.
inline std::vector<CciChar> cci(std::u16string_view s) {
  std::vector<CciChar> out(s.begin(), s.end());
  out.push_back(0);
  return out;
}
inline std::vector<CciChar> cci(std::string_view utf8) { return cci(memhost::toUtf16(utf8)); }

// The units of a terminated CciChar string, without the terminator.
inline std::u16string units(const CciChar* s) {
  std::u16string out;
  while (*s) out.push_back(static_cast<char16_t>(*s++));
  return out;
}

struct Free {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// Every test starts from a forgotten host; contexts the node made are released at the end.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host().reset();
    host().setContextReleaser(deleteNodeContext);
  }
  void TearDown() override { host().reset(); }
  static memhost::Host& host() { return memhost::Host::instance(); }
};

}  // namespace frametest

#endif
