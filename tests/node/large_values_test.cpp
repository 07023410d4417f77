// Values of a megabyte and more: the node reads them into a mapping of their own and converts
// them in steps, giving the UTF-16 pages back as it goes. Steps must not split a surrogate pair,
// must stop at a NUL unit like every other conversion, and the mail must arrive whole.
#include <cstdlib>
#include <string>

#include "node_fixture.h"

namespace nodetest {
namespace {

constexpr std::size_t kStep = std::size_t{1} << 20;  // the node's conversion step, in units

// 2.5 steps of text: mostly ASCII lines, a non-ASCII letter, and surrogate pairs lying across
// the first two step boundaries (the pair's high half the last unit of a step).
std::u16string largeValue() {
  std::u16string value;
  value.reserve(5 * kStep / 2);
  while (value.size() < 5 * kStep / 2) value += u"line of text, seventy units or so, to be sent as it stands, plus é\n";
  value.resize(5 * kStep / 2);
  for (const std::size_t boundary : {kStep, 2 * kStep}) {
    value[boundary - 1] = 0xD83D;  // U+1F600 as a pair
    value[boundary] = 0xDE00;
  }
  return value;
}

// Compared without printing megabytes on failure.
::testing::AssertionResult sameText(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << "lengths " << got.size() << " and " << want.size()
                                       << ", first difference at byte " << at;
}

// Reads an element's value through the exported reader, as a broker-side caller would.
std::string readThroughNode(memhost::Element& element) {
  int capacity = 16;
  auto* units = static_cast<CciChar*>(std::malloc(sizeof(CciChar) * capacity));
  int rc = -1;
  char* text = readElementText(&rc, element.handle(), &units, &capacity);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(units, nullptr) << "the caller's buffer comes back";
  std::string result = text != nullptr ? text : "(null)";
  std::free(text);
  std::free(units);
  return result;
}

TEST(LargeValues, ConvertedInStepsWithPairsWholeAndStoppingAtNul) {
  auto message = memhost::Host::instance().newMessage();
  memhost::Element& element = message->root().addChild("Body");

  const std::u16string value = largeValue();
  element.setCharacterValue(value);
  const std::string expected = memhost::toUtf8(value);
  EXPECT_TRUE(sameText(readThroughNode(element), expected));

  // A NUL unit past the first step ends the text there, as it does for short values.
  std::u16string withNul = value;
  withNul[3 * kStep / 2] = 0;
  element.setCharacterValue(withNul);
  EXPECT_TRUE(sameText(readThroughNode(element), memhost::toUtf8(value.substr(0, 3 * kStep / 2))));
}

// Three bytes of UTF-8 for each unit: converted where it was read, this text would overtake
// the units not yet converted, so it has to move to a buffer of its own on the way.
std::u16string wideValue() {
  std::u16string value;
  while (value.size() < 3 * kStep / 2) value += u"\x6F22\x5B57\x306E\x30C6\x30AD\x30B9\x30C8\n";
  return value;
}

TEST_F(NodeTest, LargeBodyAndLargeBodyLineArriveWhole) {
  // As the body's own value (mostly ASCII, and all three-byte characters), and as one line of
  // a body made of lines.
  struct Case {
    std::u16string value;
    bool asLine;
  };
  std::size_t sent = 0;
  for (const Case& c : {Case{largeValue(), false}, Case{wideValue(), false}, Case{largeValue(), true}}) {
    const std::u16string& value = c.value;
    const bool asLine = c.asLine;
    const std::string text = memhost::toUtf8(value);
    auto message = host_.newMessage();
    memhost::Element& top = shape(*message);
    top.addText("To", "big@example.com");
    top.addText("Subject", "large");
    if (asLine) {
      memhost::Element& body = top.addChild("Body");
      body.addText("Line", "first");
      body.addChild("Line", memhost::kTypeNameValue).setCharacterValue(value);
    } else {
      top.addChild("Body", memhost::kTypeNameValue).setCharacterValue(value);
    }
    Result r = evaluate(*message);
    ASSERT_EQ(r.out.size(), 1u) << (r.failure.empty() ? "" : errorOf(*r.failure[0].message));

    auto mails = mailsSinceStart(++sent);
    ASSERT_EQ(mails.size(), sent);
    std::string body = mails.back().body;
    std::string lf;  // the server's body with LF line ends, as the node joined it
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
      lf += body[i];
    }
    while (!lf.empty() && lf.back() == '\n') lf.pop_back();
    std::string want = asLine ? "first\n" + text : text;
    while (!want.empty() && want.back() == '\n') want.pop_back();
    EXPECT_TRUE(sameText(lf, want)) << "mail " << sent;
  }
}

}  // namespace
}  // namespace nodetest
