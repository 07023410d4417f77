// Values of a megabyte and more: the node reads them into a mapping of their own and converts
// them in steps, giving the UTF-16 pages back as it goes. Steps must not split a surrogate pair,
// must stop at a NUL unit like every other conversion, and the mail must arrive whole.
#include <cstdlib>
#include <string>

#include "node_fixture.h"

namespace nodetest {
namespace {

constexpr std::size_t kStep = std::size_t{1} << 20;  // the node's conversion step, in units
constexpr std::size_t kUnits = kStep + kStep / 8;     // a second step, shorter than the first

// Mostly ASCII lines with a non-ASCII letter and a surrogate pair across the step boundary (the
// high half the last unit of the first step); or, `wide`, all three-byte characters, whose UTF-8
// converted in place would overtake the units not yet converted.
std::u16string largeValue(bool wide = false) {
  std::u16string value;
  while (value.size() < kUnits)
    value += wide ? u"\x6F22\x5B57\x306E\x30C6\x30AD\x30B9\x30C8\n" : u"line of text, seventy units or so, plus é\n";
  value.resize(kUnits);
  if (!wide) value.replace(kStep - 1, 2, u"\xD83D\xDE00");  // U+1F600 as a pair
  return value;
}

// Compared without printing megabytes on failure.
::testing::AssertionResult sameText(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "lengths " << got.size() << " and " << want.size();
}

// Through the exported reader, as a broker-side caller would; a NUL unit in the first step ends
// the text there, as it does for short values: no later step is converted.
TEST(LargeValues, ConvertedInStepsWithPairsWholeAndStoppingAtNul) {
  auto message = memhost::Host::instance().newMessage();
  memhost::Element& element = message->root().addChild("Body");
  const std::u16string value = largeValue();
  std::u16string withNul = value;
  withNul[kStep / 2] = 0;
  for (const std::u16string& set : {value, withNul}) {
    element.setCharacterValue(set);
    int capacity = 16, rc = -1;
    auto* units = static_cast<CciChar*>(std::malloc(sizeof(CciChar) * capacity));
    char* text = readElementText(&rc, element.handle(), &units, &capacity);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(units, nullptr) << "the caller's buffer comes back";
    EXPECT_TRUE(sameText(text ? text : "(null)", memhost::toUtf8(set.substr(0, set.find(u'\0')))));
    std::free(text);
    std::free(units);
  }
}

// As the body's own value (mostly ASCII, and all three-byte characters), and as one line of a
// body made of lines. The mails are read once, at the end: each wait reads every mail so far.
TEST_F(NodeTest, LargeBodyAndLargeBodyLineArriveWhole) {
  const struct { std::u16string value; bool asLine; } rows[] = {{largeValue(), false}, {largeValue(true), false},
                                                                {largeValue(), true}};
  for (const auto& [value, asLine] : rows) {
    auto message = mail({{"To", "big@example.com"}});
    memhost::Element& body = top(*message).addChild("Body", asLine ? memhost::kTypeName : memhost::kTypeNameValue);
    if (asLine) body.addText("Line", "first");
    (asLine ? body.addChild("Line", memhost::kTypeNameValue) : body).setCharacterValue(value);
    const Result r = evaluate(*message);
    ASSERT_EQ(r.out.size(), 1u) << r.error();
  }
  const std::vector<Mail> mails = server_->waitForMails(mailsBefore_ + 3);
  ASSERT_EQ(mails.size(), mailsBefore_ + 3);
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string sent = (rows[i].asLine ? "first\n" : "") + memhost::toUtf8(rows[i].value);
    EXPECT_TRUE(sameText(lf(mails[mailsBefore_ + i].body), lf(sent))) << i;
  }
}

}  // namespace
}  // namespace nodetest
