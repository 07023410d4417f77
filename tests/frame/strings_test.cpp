// Host strings: conversions between UTF-8 and CciChar through the host's converters (whole
// text, non-ASCII, surrogate pairs, failed converters), and the CciChar length, copy
// and comparison.
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
  // Lone surrogates each become U+FFFD (three bytes for one unit: the worst case).
  const std::vector<CciChar> lone = {0xDC00, 0xD800, 'a', 0xDFFF, 0};
  Owned<char> text(UnicodeToASCII(lone.data()));
  EXPECT_STREQ(text.get(), "\xEF\xBF\xBD\xEF\xBF\xBD" "a\xEF\xBF\xBD");
}

// CciNString keeps at most n units and never splits a surrogate pair; the rest is zeroed.
TEST_F(Strings, CciNStringBoundsOutputAndNeverSplitsACharacter) {
  const struct {
    const char* text;
    int n;
    std::u16string units;
  } rows[] = {{"abcdef", 3, u"abc"}, {"ab", 5, u"ab"}, {"a😀", 2, u"a"}, {"abc", -4, u""}};
  for (const auto& row : rows) {
    Owned<CciChar> got(CciNString(row.text, row.n));
    ASSERT_TRUE(got) << row.text;
    EXPECT_EQ(units(got.get()), row.units) << row.text;
    for (int i = static_cast<int>(row.units.size()); i <= row.n; ++i) EXPECT_EQ(got.get()[i], 0) << i;
  }
}

TEST_F(Strings, FailedConverterLeavesEmptyTerminatedStrings) {
  // A converter that fails must not hand back uninitialised memory.
  host().injectFault("cciMbsToUcs", 1, 64);
  host().injectFault("cciMbsToUcs", 2, 22);
  host().injectFault("cciUcsToMbs", 1, 7);
  host().injectFault("cciUcsToMbs", 2, 64);
  const auto source = cci(std::string_view("hello"));
  EXPECT_EQ(units(Owned<CciChar>(CciString("hello")).get()), u"");
  EXPECT_EQ(units(Owned<CciChar>(ASCIIToUnicode("hello")).get()), u"");
  EXPECT_STREQ(Owned<char>(UnicodeToASCII(source.data())).get(), "");
  EXPECT_STREQ(Owned<char>(mbString(source.data())).get(), "");
}

TEST_F(Strings, CompareIsByUnsignedUnit) {
  const struct {
    std::u16string_view a, b;
    int result;
  } rows[] = {{u"abc", u"abc", 0}, {u"ab", u"abc", -99}, {u"abc", u"ab", 99}, {u"B", u"a", -31},
              {u"x\xFFFF", u"xA", 65470}, {u"A", u"\xFFFF", -65470}};
  for (const auto& row : rows) EXPECT_EQ(CciCharCmp(cci(row.a).data(), cci(row.b).data()), row.result) << row.result;
}

// CciCharNCpy pads with zeros up to n and writes nothing past it; CciCharCpy stops after
// the terminator.
TEST_F(Strings, CopiesWriteExactlyWhatTheyShould) {
  constexpr CciChar k = 0x7777;
  const struct {
    std::u16string_view source;
    int n;  // -1: CciCharCpy
    std::vector<CciChar> written;
  } rows[] = {{u"ab", 5, {'a', 'b', 0, 0, 0, k, k, k}},
              {u"abcdef", 3, {'a', 'b', 'c', k, k, k, k, k}},
              {u"abcdef", 0, {k, k, k, k, k, k, k, k}},
              {u"ab", -1, {'a', 'b', 0, k, k, k, k, k}}};
  for (const auto& row : rows) {
    std::vector<CciChar> out(8, k);
    if (row.n < 0) CciCharCpy(out.data(), cci(row.source).data());
    else CciCharNCpy(out.data(), cci(row.source).data(), row.n);
    EXPECT_EQ(out, row.written) << row.n;
  }
}

}  // namespace
