// What the node's tests need from the in-memory host itself: converters that honour the
// caller's limit without splitting a character (the node's retry rule depends on it), and
// faults that fire on exactly the nth call (the host-fault matrix depends on it).
#include <cstring>
#include <stdexcept>

#include "test_support.h"

using frametest::cci;
using frametest::units;

namespace {

class MemHost : public frametest::HostTest {};

TEST_F(MemHost, ConvertersHonourTheLimitAndNeverSplitACharacter) {
  struct Case {
    int limit;
    std::u16string written;
    bool terminated;
  };
  // "a😀b" needs four units and a terminator.
  const Case cases[] = {{5, u"a\xD83D\xDE00" u"b", true}, {4, u"a\xD83D\xDE00" u"b", false},
                        {3, u"a\xD83D\xDE00", false},      {2, u"a", true},
                        {1, u"a", false},                  {0, u"", false}};
  for (const Case& c : cases) {
    std::vector<CciChar> out(8, 0x7777);
    int rc = -1;
    EXPECT_EQ(cciMbsToUcs(&rc, "a\xF0\x9F\x98\x80" "b", out.data(), c.limit, CCI_CODEPAGE_UTF8), 4);
    EXPECT_EQ(rc, c.limit == 5 ? 0 : CCI_BUFFER_TOO_SMALL) << c.limit;
    EXPECT_EQ(std::u16string(out.begin(), out.begin() + static_cast<long>(c.written.size())), c.written);
    EXPECT_EQ(out[c.written.size()], c.terminated ? 0 : 0x7777) << c.limit;
    for (std::size_t i = c.written.size() + 1; i < out.size(); ++i) ASSERT_EQ(out[i], 0x7777) << c.limit;
  }

  const auto e = cci(u"\x00E9\x00E9");  // four bytes
  char bytes[8];
  std::memset(bytes, 'Z', sizeof bytes);
  int rc = -1;
  EXPECT_EQ(cciUcsToMbs(&rc, e.data(), bytes, 3, CCI_CODEPAGE_UTF8), 4);
  EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
  EXPECT_EQ(std::string(bytes, 4), std::string("\xC3\xA9\0Z", 4));

  EXPECT_EQ(cciUcsToMbs(&rc, e.data(), bytes, 5, 819), 0);
  EXPECT_EQ(rc, memhost::kRcUnsupportedCodePage);
}

TEST_F(MemHost, FaultsFireOnExactlyTheNthCall) {
  auto message = host().newMessage();
  message->root().addChild("A");
  CciElement* root = message->root().handle();
  int rc = 0;
  cniFirstChild(&rc, root);  // before arming: counting starts from the arming
  host().injectFault("cniFirstChild", 2, 22);
  host().injectFault("cniFirstChild", 3, CCI_EXCEPTION);
  EXPECT_NE(cniFirstChild(&rc, root), nullptr);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(cniFirstChild(&rc, root), nullptr);
  EXPECT_EQ(rc, 22);
  EXPECT_EQ(cniFirstChild(&rc, root), nullptr);
  EXPECT_EQ(rc, CCI_EXCEPTION);
  EXPECT_NE(cniFirstChild(&rc, root), nullptr);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(cniLastChild(&rc, root), nullptr) << "other operations are untouched";
  EXPECT_EQ(host().callCount("cniFirstChild"), 5u);
  EXPECT_EQ(host().callCount("cniLastChild"), 1u);

  CciExceptionData data;
  std::memset(&data, 0xAB, sizeof data);
  cciGetLastExceptionData(&rc, &data);
  EXPECT_NE(std::string(data.text).find("cniFirstChild"), std::string::npos);
  EXPECT_EQ(data.text[sizeof data.text - 1], 0) << "the record is cleared before it is filled";
  cciRethrowLastException(&rc);
  EXPECT_EQ(host().rethrowCount(), 1u);
  cciGetLastExceptionData(&rc, &data);
  EXPECT_EQ(data.text[0], 0) << "nothing pending after the rethrow";

  host().injectFault("cniFirstChild", 1, 5);
  host().clearFaults();
  EXPECT_NE(cniFirstChild(&rc, root), nullptr);
  EXPECT_THROW(host().injectFault("cniNoSuchThing", 1, 22), std::invalid_argument);
  EXPECT_EQ(host().operationNames().size(), 28u);
}

}  // namespace
