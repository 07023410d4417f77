// Node instances: the twelve attributes and three terminals of a new context, reading and
// setting values within the caller's buffer, refused oversize values, contexts of other
// classes, integer attributes, and the release of everything a context owns.
#include <malloc.h>

#include <cstring>

#include "test_support.h"

using frametest::cci;
using frametest::units;

namespace {

constexpr std::size_t kAttributes = 21;
constexpr CciChar kSentinel = 0x7777;

class NodeContextTest : public frametest::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
    node_ = host().createNode("SendMailPlugInNode");
    ASSERT_NE(node_, nullptr);
    ASSERT_NE(node_->context(), nullptr);
  }
  NodeContext* context() { return static_cast<NodeContext*>(node_->context()); }
  int get(std::string_view name, std::vector<CciChar>& buffer, int32_t length) {
    return getAttribute(context(), cci(name).data(), buffer.data(), length);
  }
  int set(std::string_view name, std::string_view value) {
    return setAttribute(context(), cci(name).data(), cci(value).data());
  }
  memhost::Node* node_ = nullptr;
};

TEST_F(NodeContextTest, NewInstanceHasItsEmptyAttributesAndDefaults) {
  EXPECT_EQ(node_->attributeNames().size(), kAttributes);
  EXPECT_EQ(context()->serverPort, 25);
  EXPECT_EQ(context()->priority, 3);
  EXPECT_EQ(context()->settingsLoaded, 0);
  EXPECT_EQ(context()->serverName, nullptr);
  EXPECT_EQ(units(context()->nodeName), u"SendMailPlugInNode");
  std::vector<CciChar> empty(21, 0);
  empty[20] = kSentinel;
  for (const std::string& name : node_->attributeNames()) {
    std::vector<CciChar> value(21, kSentinel);
    EXPECT_EQ(get(name, value, 20), 0) << name;
    EXPECT_EQ(value, empty) << name;
  }
}

// Each row sets one attribute in turn and reads it back: names are exact and case-sensitive,
// a value replaces the last, the stored 8-bit form holds at most 255 bytes (a refused value
// leaves the old one), and integer attributes read as the number the text starts with.
TEST_F(NodeContextTest, SetAndReadBack) {
  ASSERT_NE(insertAttributeTableEntry(context(), cci("Count").data(), ATTRIBUTE_KIND_INTEGER), nullptr);
  const std::string accents = [] {
    std::string s;
    for (int i = 0; i < 127; ++i) s += "é";
    return s;
  }();
  const struct {
    const char* name;
    std::string value;
    int rc;
    std::string reads;
  } rows[] = {
      {"bcc", "x", 1, ""},
      {"Unknown", "x", 1, ""},
      {"F", "upper", 0, "upper"},
      {"f", "lower", 0, "lower"},
      {"ServerPort", "2525", 0, "2525"},
      {"ServerName", "smtp.local", 0, "smtp.local"},
      {"Priority", "Grüße 東京 😀", 0, "Grüße 東京 😀"},
      {"SMTPFrom", std::string(255, 'v'), 0, std::string(255, 'v')},
      {"SMTPFrom", std::string(256, 'w'), 1, std::string(255, 'v')},
      {"C", accents, 0, accents},  // 254 bytes
      {"C", accents + "é", 1, accents},
      {"Count", "  -42abc", 0, "-42"},
      {"Count", "none", 0, "0"},
      {"Count", "99999999999999", 0, "2147483647"},
      {"Count", "-99999999999999", 0, "-2147483648"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(set(row.name, row.value), row.rc) << row.name << " " << row.value.substr(0, 20);
    std::string value;
    EXPECT_EQ(node_->getAttribute(row.name, value), row.rc == 0 || !row.reads.empty()) << row.name;
    EXPECT_EQ(value, row.reads) << row.name;
  }
  std::vector<CciChar> buffer(8, kSentinel);
  EXPECT_EQ(get("bcc", buffer, 8), 1);
  EXPECT_EQ(buffer, std::vector<CciChar>(8, kSentinel));
  ASSERT_NE(insertAttributeTableEntry(context(), cci("Opaque").data(), 7), nullptr);
  EXPECT_EQ(set("Opaque", "anything"), 0);
  EXPECT_EQ(get("Opaque", buffer, 8), 0);
  EXPECT_EQ(buffer, std::vector<CciChar>(8, kSentinel)) << "an unknown kind writes nothing";
}

// Each row reads a value (or, with an index, an attribute's name) into a buffer of 600 units
// with the caller's `length`: what is written stays within it, and values within 256 units.
TEST_F(NodeContextTest, ReadsStayWithinTheCallersBuffer) {
  ASSERT_EQ(set("Bcc", "abcdef"), 0);
  constexpr CciChar k = kSentinel;
  const struct {
    int index;  // -1: the value of Bcc
    int32_t length;
    std::vector<CciChar> written;  // the first units, then only `tail` up to unit 600
    CciChar tail;
    std::size_t from;              // where `tail` starts
  } rows[] = {
      {-1, 3, {'a', 'b', 'c', k}, k, 4},
      {-1, 0, {}, k, 0}, {-1, INT32_MIN, {}, k, 0},
      {-1, 512, {'a', 'b', 'c', 'd', 'e', 'f'}, 0, 6},  // zeros up to unit 256
      {1, 4, {'P', 'r', 'i', 0, k}, k, 5},  // "Priority"
      {6, 0, {}, k, 0}, {6, -5, {}, k, 0},
      {6, 13, {'S', 'M', 'T', 'P', 'F', 'u', 'l', 'l', 'F', 'r', 'o', 'm', 0}, k, 13},  // the longest name, exactly
      {static_cast<int>(kAttributes), 13, {}, k, 0}, {1000, 13, {}, k, 0},  // no such index: rc 1
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.index) + " " + std::to_string(row.length));
    std::vector<CciChar> buffer(600, k);
    const int rc = row.index < 0 ? get("Bcc", buffer, row.length)
                                 : getAttributeName(context(), row.index, buffer.data(), row.length);
    EXPECT_EQ(rc, row.index >= static_cast<int>(kAttributes) ? 1 : 0);
    EXPECT_EQ(std::vector<CciChar>(buffer.begin(), buffer.begin() + row.written.size()), row.written);
    const std::size_t end = row.tail == 0 ? 256 : 600;
    for (std::size_t i = row.from; i < end; ++i) ASSERT_EQ(buffer[i], row.tail) << i;
    for (std::size_t i = end; i < 600; ++i) ASSERT_EQ(buffer[i], k) << "at most 256 units are written";
  }
}

// Handles of the node's terminals, none for another class's context; a terminal the host
// could not create has no handle, and the rest of the node is whole.
TEST_F(NodeContextTest, TerminalsAreTheHostsHandles) {
  std::vector<std::string> names;
  for (const auto& terminal : node_->terminals()) names.push_back(terminal->nameUtf8() + (terminal->isInput() ? "<" : ">"));
  EXPECT_EQ(names, (std::vector<std::string>{"in<", "out>", "failure>"}));
  const auto in = cci("in");
  EXPECT_EQ(getOutputTerminalHandle(context(), constOut), node_->terminal("out")->handle());
  EXPECT_EQ(getOutputTerminalHandle(context(), constFailure), node_->terminal("failure")->handle());
  EXPECT_EQ(getOutputTerminalHandle(context(), in.data()), nullptr);
  EXPECT_EQ(getInputTerminalHandle(context(), in.data()), node_->terminal("in")->handle());
  EXPECT_EQ(getInputTerminalHandle(context(), constOut), nullptr);

  host().injectFault("cniCreateOutputTerminal", 1, 22);
  auto* ctx = static_cast<NodeContext*>(host().createNode("SendMailPlugInNode", "node2")->context());
  EXPECT_EQ(getOutputTerminalHandle(ctx, constOut), nullptr);
  EXPECT_NE(getOutputTerminalHandle(ctx, constFailure), nullptr);

  // Another class: no attributes, no terminals; a class name longer than the record keeps 128
  // units and stays terminated.
  for (const auto& name : {cci("SomeOtherNode"), cci(std::u16string(300, u'n'))}) {
    auto* other = static_cast<NodeContext*>(createNodeContext(nullptr, name.data(), nullptr));
    ASSERT_NE(other, nullptr);
    std::vector<CciChar> buffer(16, kSentinel);
    EXPECT_EQ(getAttributeName(other, 0, buffer.data(), 16), 1);
    EXPECT_EQ(getAttribute(other, cci("Bcc").data(), buffer.data(), 16), 1);
    EXPECT_EQ(setAttribute(other, cci("Bcc").data(), cci("x").data()), 1);
    EXPECT_EQ(getOutputTerminalHandle(other, constOut), nullptr);
    EXPECT_EQ(getInputTerminalHandle(other, in.data()), nullptr);
    EXPECT_EQ(units(other->nodeName), name.size() > 128 ? std::u16string(128, u'n') : u"SomeOtherNode");
    EXPECT_EQ(other->serverPort, 25);
    deleteNodeContext(other);
  }
}

TEST_F(NodeContextTest, NamesTooLongForAnEntryAreRefused) {
  EXPECT_NE(insertAttributeTableEntry(context(), cci(std::u16string(127, u'a')).data(), 2), nullptr);
  EXPECT_EQ(insertAttributeTableEntry(context(), cci(std::u16string(128, u'b')).data(), 2), nullptr);
  EXPECT_NE(insertOutputTerminalListEntry(context(), cci(std::u16string(255, u'c')).data()), nullptr);
  EXPECT_EQ(insertOutputTerminalListEntry(context(), cci(std::u16string(256, u'd')).data()), nullptr);
  EXPECT_EQ(node_->attributeNames().size(), kAttributes + 1);
  EXPECT_EQ(context()->outputTerminalListTail->name[0], u'c');
}

// Thousands of contexts made and released must leave the heap where it was, give or take what
// the allocator caches: one leaked block per context would add up to far more. (The sanitizer
// build's leak checker and double-free detection watch the same code.)
TEST_F(NodeContextTest, DeleteReleasesEverythingTheContextOwns) {
  const std::size_t before = mallinfo2().uordblks;
  for (int round = 0; round < 4000; ++round) {
    auto* ctx = static_cast<NodeContext*>(createNodeContext(nullptr, constPlugInNode, nullptr));
    ASSERT_NE(ctx, nullptr);
    ctx->serverName = strdup("smtp.local");
    ctx->smtpFrom = strdup("a@b.c");
    ctx->bcc = strdup("x@y.z");
    ctx->smtpFullFrom = round % 2 ? strdup("A B") : nullptr;
    ctx->fromAddress = round % 2 ? strdup("A B <a@b.c>") : ctx->smtpFrom;  // the same string, released once
    ctx->settingsLoaded = 1;
    deleteNodeContext(ctx);
  }
  EXPECT_LT(mallinfo2().uordblks, before + 64 * 1024);
  deleteNodeContext(nullptr);
}

}  // namespace
