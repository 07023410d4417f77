// The in-memory host itself, as later tests rely on it: its converters (limits, terminator,
// ill-formed input), value reads with short buffers and wrong kinds, tree copy, message
// creation and propagation, the log, and fault injection with call accounting.
#include <algorithm>
#include <cstring>
#include <stdexcept>

using namespace std::string_literals;

#include "test_support.h"

using frametest::cci;
using frametest::units;

namespace {

class MemHost : public frametest::HostTest {};

std::u16string mbsToUcs(const std::string& in) {
  int rc = -1;
  const int needed = cciMbsToUcs(&rc, in.c_str(), nullptr, 0, CCI_CODEPAGE_UTF8);
  std::vector<CciChar> out(static_cast<std::size_t>(needed) + 1, 0x7777);
  cciMbsToUcs(&rc, in.c_str(), out.data(), needed + 1, CCI_CODEPAGE_UTF8);
  EXPECT_EQ(rc, 0);
  return units(out.data());
}

TEST_F(MemHost, Utf8DecodingReplacesEachIllFormedPart) {
  const std::u16string r = u"\xFFFD";
  const std::pair<std::string, std::u16string> cases[] = {
      {"A\xC3\xA9", u"A\x00E9"},
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"\x80", r},
      {"\xC0\xAF", r + r},                              // overlong lead
      {"\xE0\x80\x80", r + r + r},                      // overlong three-byte
      {"\xED\xA0\x80", r + r + r},                      // an encoded surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},              // beyond U+10FFFF
      {"\xF5\x80", r + r},
      {"\xE2\x82", r},                                  // cut at the end of the input
      {"\xE2\x82" "A", r + u"A"},                       // cut before an ASCII byte
      {"\xF0\x9F\x98", r},
      {"a\xFF" "b", u"a" + r + u"b"},
  };
  for (const auto& [in, expected] : cases) {
    EXPECT_EQ(mbsToUcs(in), expected) << testing::PrintToString(in);
    EXPECT_EQ(memhost::toUtf16(in), expected) << testing::PrintToString(in);
  }
}

TEST_F(MemHost, Utf16EncodingReplacesLoneSurrogates) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {u"\xD800" u"a", "\xEF\xBF\xBD" "a"},
      {u"\xDC00", "\xEF\xBF\xBD"},
      {u"a\xD83D", "a\xEF\xBF\xBD"},  // high surrogate at the very end
      {u"\x00E9\x6771", "\xC3\xA9\xE6\x9D\xB1"},
  };
  for (const auto& [in, expected] : cases) {
    const auto input = cci(in);
    char out[32];
    int rc = -1;
    EXPECT_EQ(cciUcsToMbs(&rc, input.data(), out, sizeof out, CCI_CODEPAGE_UTF8),
              static_cast<int>(expected.size()));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::string(out), expected);
    EXPECT_EQ(memhost::toUtf8(in), expected);
  }
}

TEST_F(MemHost, LongTextsConvertWholeAndCutOnlyBetweenCharacters) {
  // ASCII runs longer than the converters' blocks, between two- and four-byte characters; the
  // character ends are known by construction.
  std::string utf8;
  std::u16string utf16;
  std::vector<std::size_t> ends8{0}, ends16{0};
  const auto add = [&](std::string_view bytes, std::u16string_view units) {
    utf8 += bytes;
    utf16 += units;
    ends8.push_back(utf8.size());
    ends16.push_back(utf16.size());
  };
  for (int run = 0; run < 5; ++run) {
    for (int k = 0; k < 37 + run; ++k) {
      const char c = static_cast<char>('a' + k % 26);
      add(std::string(1, c), std::u16string(1, static_cast<char16_t>(c)));
    }
    if (run % 2 == 0) add("\xC3\xA9", u"\x00E9");
    else add("\xF0\x9F\x98\x80", u"\xD83D\xDE00");
  }
  EXPECT_EQ(memhost::toUtf16(utf8), utf16);
  EXPECT_EQ(memhost::toUtf8(utf16), utf8);

  const auto wide = cci(utf16);
  for (std::size_t limit = 0; limit <= utf8.size() + 1; ++limit) {
    std::string out(utf8.size() + 4, 'Z');
    int rc = -1;
    EXPECT_EQ(cciUcsToMbs(&rc, wide.data(), out.data(), static_cast<int>(limit), CCI_CODEPAGE_UTF8),
              static_cast<int>(utf8.size()));
    const std::size_t written = *std::prev(std::upper_bound(ends8.begin(), ends8.end(), limit));
    const bool terminated = written < limit;
    EXPECT_EQ(rc, written == utf8.size() && terminated ? 0 : CCI_BUFFER_TOO_SMALL) << limit;
    ASSERT_EQ(out.substr(0, written), utf8.substr(0, written)) << limit;
    ASSERT_EQ(out[written], terminated ? '\0' : 'Z') << limit;
  }
  for (std::size_t limit = 0; limit <= utf16.size() + 1; ++limit) {
    std::vector<CciChar> out(utf16.size() + 4, 0x7777);
    int rc = -1;
    EXPECT_EQ(cciMbsToUcs(&rc, utf8.c_str(), out.data(), static_cast<int>(limit), CCI_CODEPAGE_UTF8),
              static_cast<int>(utf16.size()));
    const std::size_t written = *std::prev(std::upper_bound(ends16.begin(), ends16.end(), limit));
    const bool terminated = written < limit;
    EXPECT_EQ(rc, written == utf16.size() && terminated ? 0 : CCI_BUFFER_TOO_SMALL) << limit;
    ASSERT_EQ(std::u16string(out.begin(), out.begin() + static_cast<long>(written)), utf16.substr(0, written)) << limit;
    ASSERT_EQ(out[written], terminated ? 0 : 0x7777) << limit;
  }
}

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
  EXPECT_EQ(std::string(bytes, 4), "\xC3\xA9" "\0Z"s);

  EXPECT_EQ(cciUcsToMbs(&rc, e.data(), bytes, 5, 819), 0);
  EXPECT_EQ(rc, memhost::kRcUnsupportedCodePage);
}

TEST_F(MemHost, ValueReads) {
  auto message = host().newMessage();
  memhost::Element& top = message->makeStandardShape();
  memhost::Element& text = top.addText("Subject", "Grüße");
  memhost::Element& date = top.addDate("PutDate", {2024, 2, 29});
  memhost::Element& bytes = top.addBytes("MsgId", {1, 2, 3});

  CciChar buffer[8];
  int rc = -1;
  EXPECT_EQ(cniElementCharacterValue(&rc, text.handle(), buffer, 5), 6) << "needed, terminator included";
  EXPECT_EQ(rc, CCI_BUFFER_TOO_SMALL);
  EXPECT_EQ(cniElementCharacterValue(&rc, text.handle(), buffer, 6), 5);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(units(buffer), u"Grüße");
  EXPECT_EQ(cniElementCharacterValue(&rc, top.handle(), buffer, 8), 0) << "a folder reads as empty";
  EXPECT_EQ(rc, 0);

  EXPECT_EQ(cniElementName(&rc, text.handle(), buffer, 4), 7);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(units(buffer), u"Sub") << "cut and terminated";

  const HostDate d = cniElementDateValue(&rc, date.handle());
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20240229);
  cniElementDateValue(&rc, text.handle());
  EXPECT_EQ(rc, memhost::kRcWrongValueKind);
  cniElementGmtTimeValue(&rc, date.handle());
  EXPECT_EQ(rc, memhost::kRcWrongValueKind);
  cniElementCharacterValue(&rc, date.handle(), buffer, 8);
  EXPECT_EQ(rc, memhost::kRcWrongValueKind);

  uint8_t raw[4] = {9, 9, 9, 9};
  HostByteArray array{raw, 4};
  EXPECT_EQ(cniElementByteArrayValue(&rc, bytes.handle(), &array), 3);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(raw[2], 3);
  EXPECT_EQ(raw[3], 9);
  cniElementByteArrayValue(&rc, text.handle(), &array);
  EXPECT_EQ(rc, memhost::kRcWrongValueKind);
}

TEST_F(MemHost, NullHandlesAndNullReturnCodesAreSafe) {
  int rc = 0;
  EXPECT_EQ(cniFirstChild(&rc, nullptr), nullptr);
  EXPECT_EQ(rc, memhost::kRcInvalidHandle);
  EXPECT_EQ(cniElementCharacterValue(&rc, nullptr, nullptr, 0), 0);
  EXPECT_EQ(rc, memhost::kRcInvalidHandle);
  cniDeleteMessage(&rc, nullptr);
  EXPECT_NE(rc, 0);
  // Every operation takes a null return-code location.
  EXPECT_EQ(cniRootElement(nullptr, nullptr), nullptr);
  EXPECT_EQ(cniNextSibling(nullptr, nullptr), nullptr);
  EXPECT_EQ(cniElementName(nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(cniIsTerminalAttached(nullptr, nullptr), 0);
  EXPECT_EQ(cniPropagate(nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(cniCreateMessage(nullptr, nullptr), nullptr);
  cniSetElementName(nullptr, nullptr, nullptr);
  cniCopyElementTree(nullptr, nullptr, nullptr);
  cciGetLastExceptionData(nullptr, nullptr);
  cciRethrowLastException(nullptr);
  EXPECT_EQ(cciMbsToUcs(nullptr, nullptr, nullptr, 0, CCI_CODEPAGE_UTF8), 0);
}

TEST_F(MemHost, CopyCreateAndPropagate) {
  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  memhost::Node* node = host().createNode("SendMailPlugInNode");
  memhost::Terminal* failure = node->terminal("failure");
  ASSERT_NE(failure, nullptr);

  auto input = host().newMessage();
  memhost::Element& top = input->makeStandardShape();
  top.addText("To", "a@b.c");
  top.addChild("Body").addText("Line", "one");

  int rc = -1;
  CciMessage* created = cniCreateMessage(&rc, cniGetMessageContext(&rc, input->handle()));
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(host().liveCreatedMessages(), 1u);
  CciElement* root = cniRootElement(&rc, created);
  cniCopyElementTree(&rc, input->root().handle(), root);
  CciElement* error = cniCreateElementAsLastChild(&rc, root);
  cniSetElementType(&rc, error, memhost::kTypeNameValue);
  cniSetElementName(&rc, error, cci("SendMailError").data());
  const auto why = cci("refused");
  cniSetElementCharacterValue(&rc, error, why.data(), 7);
  EXPECT_EQ(rc, 0);

  EXPECT_EQ(cniPropagate(&rc, failure->handle(), node->defaultCompanionA(), nullptr, created), 1);
  EXPECT_EQ(rc, 0);
  cniDeleteMessage(&rc, created);  // as the node does right after propagating
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(host().liveCreatedMessages(), 0u);
  cniDeleteMessage(&rc, input->handle());
  EXPECT_EQ(rc, memhost::kRcNotCreatedHere);

  std::vector<memhost::Propagation> got = failure->takePropagations();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].original, created);
  EXPECT_EQ(got[0].companionA, node->defaultCompanionA());
  const memhost::Element& copy = got[0].message->root();
  EXPECT_EQ(copy.children().size(), 4u) << copy.dump();
  EXPECT_EQ(copy.lastChild()->text(), "refused");
  EXPECT_TRUE(copy.firstChild()->sameTree(*input->root().firstChild()));
  EXPECT_TRUE(copy.children()[2]->sameTree(*input->root().children()[2])) << copy.dump();

  // Not attached: dropped without an error. A sink's code becomes the return code.
  failure->setAttached(false);
  EXPECT_EQ(cniIsTerminalAttached(&rc, failure->handle()), 0);
  EXPECT_EQ(cniPropagate(&rc, failure->handle(), nullptr, nullptr, input->handle()), 0);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(failure->propagationCount(), 0u);
  failure->setAttached(true);
  failure->setSink([](memhost::Message&, CciMessage*, CciMessage*) { return 7; });
  cniPropagate(&rc, failure->handle(), nullptr, nullptr, input->handle());
  EXPECT_EQ(rc, 7);
  failure->setSink([](memhost::Message&, CciMessage*, CciMessage*) -> int { throw std::runtime_error("disk full"); });
  cniPropagate(&rc, failure->handle(), nullptr, nullptr, input->handle());
  EXPECT_EQ(rc, CCI_EXCEPTION);
  CciExceptionData data;
  cciGetLastExceptionData(&rc, &data);
  EXPECT_STREQ(data.text, "disk full");
}

TEST_F(MemHost, CopyOfATreeBelowItselfTakesOnlyWhatWasThere) {
  auto message = host().newMessage();
  memhost::Element& a = message->root().addChild("A");
  a.addText("x", "1");
  cniCopyElementTree(nullptr, a.handle(), a.handle());
  EXPECT_EQ(a.children().size(), 2u);
  EXPECT_TRUE(a.children()[0]->sameTree(*a.children()[1]));
}

TEST_F(MemHost, LogKeepsEveryInsert) {
  const auto source = cci("TVLNv201");
  cciLog(nullptr, CCI_LOG_ERROR, "file.cpp", 12, "", source.data(), 1628, "first", "second", nullptr);
  cciLog(nullptr, CCI_LOG_INFORMATION, "file.cpp", 13, "", source.data(), 1637, "only", nullptr);
  const auto log = host().logEntries();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].inserts, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(log[0].messageNumber, 1628);
  EXPECT_EQ(memhost::toUtf8(log[0].messageSource), "TVLNv201");
  EXPECT_EQ(log[1].inserts, std::vector<std::string>{"only"});
  EXPECT_EQ(log[1].type, CCI_LOG_INFORMATION);
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
