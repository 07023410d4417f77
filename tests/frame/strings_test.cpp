// Host strings: conversions between UTF-8 and CciChar through the host's converters (whole
// text, non-ASCII, surrogate pairs, failed converters), and the CciChar length, copy,
// comparison and character tests.
#include <cstring>

#include "TvlSampPluginUtil.h"
#include "node_utils.h"
#include "test_support.h"

using frametest::cci;
using frametest::Owned;
using frametest::units;

namespace {

class Strings : public frametest::HostTest {};

const char* const kSamples[] = {"", "plain ascii", "Grüße aus Köln", "東京都", "mail 😀 and 👍🏽",
                                "mixed é東😀x"};

TEST_F(Strings, ConversionsRoundTripAndConvertWholeText) {
  for (const char* sample : kSamples) {
    SCOPED_TRACE(sample);
    const std::u16string expected = memhost::toUtf16(sample);
    Owned<CciChar> viaCciString(CciString(sample));
    Owned<CciChar> viaAscii(ASCIIToUnicode(sample));
    ASSERT_TRUE(viaCciString && viaAscii);
    EXPECT_EQ(units(viaCciString.get()), expected);
    EXPECT_EQ(units(viaAscii.get()), expected);
    EXPECT_EQ(CciCharLen(viaCciString.get()), static_cast<int>(expected.size()));

    // Back to 8-bit: both directions give every byte, never a text cut at L bytes.
    Owned<char> back(UnicodeToASCII(viaCciString.get()));
    Owned<char> backMb(mbString(viaCciString.get()));
    ASSERT_TRUE(back && backMb);
    EXPECT_STREQ(back.get(), sample);
    EXPECT_STREQ(backMb.get(), sample);
  }
  // A surrogate pair is two units.
  Owned<CciChar> emoji(CciString("😀"));
  EXPECT_EQ(units(emoji.get()), (std::u16string{0xD83D, 0xDE00}));
}

TEST_F(Strings, UnicodeToASCIIOfIllFormedUnitsIsWholeAndTerminated) {
  // Lone surrogates each become U+FFFD (three bytes for one unit: the worst case).
  const std::vector<CciChar> lone = {0xDC00, 0xD800, 'a', 0xDFFF, 0};
  Owned<char> text(UnicodeToASCII(lone.data()));
  EXPECT_STREQ(text.get(), "\xEF\xBF\xBD\xEF\xBF\xBD" "a\xEF\xBF\xBD");
}

TEST_F(Strings, CciNStringBoundsOutputAndNeverSplitsACharacter) {
  Owned<CciChar> first3(CciNString("abcdef", 3));
  EXPECT_EQ(units(first3.get()), u"abc");
  Owned<CciChar> shorter(CciNString("ab", 5));
  EXPECT_EQ(units(shorter.get()), u"ab");
  for (int i = 2; i <= 5; ++i) EXPECT_EQ(shorter.get()[i], 0) << i;
  // Two units of room after 'a' would be needed for the pair: it is left out whole.
  Owned<CciChar> noSplit(CciNString("a😀", 2));
  EXPECT_EQ(units(noSplit.get()), u"a");
  Owned<CciChar> none(CciNString("abc", -4));
  ASSERT_TRUE(none);
  EXPECT_EQ(none.get()[0], 0);
}

TEST_F(Strings, FailedConverterLeavesEmptyTerminatedStrings) {
  // A converter that fails must not hand back uninitialised memory.
  host().injectFault("cciMbsToUcs", 1, 64);
  host().injectFault("cciMbsToUcs", 2, 22);
  host().injectFault("cciUcsToMbs", 1, 7);
  host().injectFault("cciUcsToMbs", 2, 64);
  Owned<CciChar> a(CciString("hello"));
  Owned<CciChar> b(ASCIIToUnicode("hello"));
  const auto source = cci(std::string_view("hello"));
  Owned<char> c(UnicodeToASCII(source.data()));
  Owned<char> d(mbString(source.data()));
  EXPECT_EQ(units(a.get()), u"");
  EXPECT_EQ(units(b.get()), u"");
  EXPECT_STREQ(c.get(), "");
  EXPECT_STREQ(d.get(), "");
}

TEST_F(Strings, CompareIsByUnsignedUnit) {
  auto cmp = [](std::u16string_view a, std::u16string_view b) {
    return CciCharCmp(cci(a).data(), cci(b).data());
  };
  EXPECT_EQ(cmp(u"abc", u"abc"), 0);
  EXPECT_EQ(cmp(u"", u""), 0);
  EXPECT_EQ(cmp(u"ab", u"abc"), -99);
  EXPECT_EQ(cmp(u"abc", u"ab"), 99);
  EXPECT_EQ(cmp(u"B", u"a"), -31);
  EXPECT_EQ(cmp(u"x\xFFFF", u"xA"), 65470);
  EXPECT_EQ(cmp(u"A", u"\xFFFF"), -65470);
  EXPECT_EQ(cmp(u"Bcc", u"bcc"), 'B' - 'b');
}

TEST_F(Strings, CopiesWriteExactlyWhatTheyShould) {
  const auto ab = cci(u"ab");
  const auto abcdef = cci(u"abcdef");
  std::vector<CciChar> out(8, 0x7777);
  CciCharNCpy(out.data(), ab.data(), 5);
  EXPECT_EQ(out, (std::vector<CciChar>{'a', 'b', 0, 0, 0, 0x7777, 0x7777, 0x7777}));

  out.assign(8, 0x7777);
  CciCharNCpy(out.data(), abcdef.data(), 3);
  EXPECT_EQ(out, (std::vector<CciChar>{'a', 'b', 'c', 0x7777, 0x7777, 0x7777, 0x7777, 0x7777}));

  out.assign(8, 0x7777);
  CciCharNCpy(out.data(), abcdef.data(), 0);
  EXPECT_EQ(out, std::vector<CciChar>(8, 0x7777));

  out.assign(8, 0x7777);
  CciCharCpy(out.data(), ab.data());
  EXPECT_EQ(out, (std::vector<CciChar>{'a', 'b', 0, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777}));
  EXPECT_EQ(CciCharLen(cci(u"").data()), 0);
}

TEST_F(Strings, CharacterTestsAcceptExactlyTheirUnits) {
  for (unsigned u = 0; u <= 0xFFFF; ++u) {
    const bool space = (u >= 9 && u <= 13) || u == 32;
    const bool alnum = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
    ASSERT_EQ(CciCharIsSpace(static_cast<CciChar>(u)), space ? 1 : 0) << u;
    ASSERT_EQ(CciCharIsAlnum(static_cast<CciChar>(u)), alnum ? 1 : 0) << u;
  }
}

}  // namespace
