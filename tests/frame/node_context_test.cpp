// Node instances: the twelve attributes and three terminals of a new context, reading and
// setting values within the caller's buffer, refused oversize values, contexts of other
// classes, integer attributes, and the release of everything a context owns.
#include <malloc.h>

#include <cstring>

#include "test_support.h"

using frametest::cci;
using frametest::units;

namespace {

const std::vector<std::string> kNames = {"Bcc",        "Priority", "SetPriority", "ServerName",
                                         "ServerPort", "SMTPFrom", "SMTPFullFrom", "C",
                                         "F",          "f",        "h",           "X",
                                         "Security",   "TLSVerify", "TLSCAFile",  "TimeoutSeconds",
                                         "SMTPUser",   "SMTPPassword", "ConnectionReuse",
                                         "MaxMailsPerConnection", "IdleSeconds"};
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
  EXPECT_EQ(node_->attributeNames(), kNames);
  EXPECT_EQ(context()->serverPort, 25);
  EXPECT_EQ(context()->priority, 3);
  EXPECT_EQ(context()->settingsLoaded, 0);
  EXPECT_EQ(context()->serverName, nullptr);
  EXPECT_EQ(units(context()->nodeName), u"SendMailPlugInNode");

  std::vector<CciChar> buffer(13, kSentinel);
  for (const int32_t index : {static_cast<int32_t>(kNames.size()), -1, 1000}) {
    EXPECT_EQ(getAttributeName(context(), index, buffer.data(), 13), 1) << index;
  }
  EXPECT_EQ(buffer, std::vector<CciChar>(13, kSentinel)) << "nothing written for a bad index";

  for (const std::string& name : kNames) {
    std::vector<CciChar> value(21, kSentinel);
    EXPECT_EQ(get(name, value, 20), 0) << name;
    EXPECT_EQ(value, [] {
      std::vector<CciChar> v(21, 0);
      v[20] = kSentinel;
      return v;
    }()) << name;
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
      {"ServerName", "mail.example.org", 0, "mail.example.org"},
      {"ServerName", "smtp.local", 0, "smtp.local"},
      {"Priority", "Grüße 東京 😀", 0, "Grüße 東京 😀"},
      {"SMTPFrom", std::string(255, 'v'), 0, std::string(255, 'v')},
      {"SMTPFrom", std::string(256, 'w'), 1, std::string(255, 'v')},
      {"SMTPFrom", std::string(4000, 'w'), 1, std::string(255, 'v')},
      {"C", accents, 0, accents},  // 254 bytes
      {"C", accents + "é", 1, accents},
      {"Count", "  -42abc", 0, "-42"},
      {"Count", "+17", 0, "17"},
      {"Count", "none", 0, "0"},
      {"Count", "", 0, "0"},
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

// Reads stay within the caller's length and write at most 256 units.
TEST_F(NodeContextTest, ReadsStayWithinTheCallersBuffer) {
  ASSERT_EQ(set("Bcc", "abcdef"), 0);
  std::vector<CciChar> buffer(600, kSentinel);
  EXPECT_EQ(get("Bcc", buffer, 3), 0);
  EXPECT_EQ(std::vector<CciChar>(buffer.begin(), buffer.begin() + 4),
            (std::vector<CciChar>{'a', 'b', 'c', kSentinel}));
  for (const int32_t length : {0, -1, INT32_MIN}) {
    buffer.assign(600, kSentinel);
    EXPECT_EQ(get("Bcc", buffer, length), 0) << length;
    EXPECT_EQ(buffer, std::vector<CciChar>(600, kSentinel)) << length;
  }
  buffer.assign(600, kSentinel);
  EXPECT_EQ(get("Bcc", buffer, 512), 0);
  EXPECT_EQ(units(buffer.data()), u"abcdef");
  for (std::size_t i = 6; i < 256; ++i) ASSERT_EQ(buffer[i], 0) << i;
  EXPECT_EQ(buffer[256], kSentinel) << "at most 256 units are written";
}

TEST_F(NodeContextTest, AttributeNameStaysWithinBufferLength) {
  std::vector<CciChar> buffer(16, kSentinel);
  ASSERT_EQ(getAttributeName(context(), 1, buffer.data(), 4), 0);  // "Priority"
  EXPECT_EQ(std::vector<CciChar>(buffer.begin(), buffer.begin() + 5),
            (std::vector<CciChar>{'P', 'r', 'i', 0, kSentinel}));

  buffer.assign(16, kSentinel);
  EXPECT_EQ(getAttributeName(context(), 6, buffer.data(), 0), 0);
  EXPECT_EQ(getAttributeName(context(), 6, buffer.data(), -5), 0);
  EXPECT_EQ(buffer, std::vector<CciChar>(16, kSentinel));

  ASSERT_EQ(getAttributeName(context(), 6, buffer.data(), 13), 0);  // the longest name, exactly
  EXPECT_EQ(units(buffer.data()), u"SMTPFullFrom");
}

TEST_F(NodeContextTest, TerminalsAreTheHostsHandles) {
  const auto& terminals = node_->terminals();
  ASSERT_EQ(terminals.size(), 3u);
  EXPECT_EQ(terminals[0]->nameUtf8(), "in");
  EXPECT_TRUE(terminals[0]->isInput());
  EXPECT_EQ(terminals[1]->nameUtf8(), "out");
  EXPECT_EQ(terminals[2]->nameUtf8(), "failure");
  EXPECT_FALSE(terminals[1]->isInput() || terminals[2]->isInput());

  EXPECT_EQ(getOutputTerminalHandle(context(), constOut), terminals[1]->handle());
  EXPECT_EQ(getOutputTerminalHandle(context(), constFailure), terminals[2]->handle());
  EXPECT_EQ(getOutputTerminalHandle(context(), cci("in").data()), nullptr);
  EXPECT_EQ(getInputTerminalHandle(context(), cci("in").data()), terminals[0]->handle());
  EXPECT_EQ(getInputTerminalHandle(context(), constOut), nullptr);

  // A terminal the host could not create has no handle; the rest of the node is whole.
  host().injectFault("cniCreateOutputTerminal", 1, 22);
  memhost::Node* other = host().createNode("SendMailPlugInNode", "node2");
  ASSERT_NE(other, nullptr);
  auto* ctx = static_cast<NodeContext*>(other->context());
  EXPECT_EQ(getOutputTerminalHandle(ctx, constOut), nullptr);
  EXPECT_NE(getOutputTerminalHandle(ctx, constFailure), nullptr);
  EXPECT_EQ(other->attributeNames().size(), kNames.size());
}

TEST_F(NodeContextTest, OtherClassHasNoAttributesAndNoTerminals) {
  const auto name = cci("SomeOtherNode");
  CciContext* raw = createNodeContext(nullptr, name.data(), nullptr);
  ASSERT_NE(raw, nullptr);
  auto* other = static_cast<NodeContext*>(raw);
  std::vector<CciChar> buffer(16, kSentinel);
  EXPECT_EQ(getAttributeName(other, 0, buffer.data(), 16), 1);
  EXPECT_EQ(getAttribute(other, cci("Bcc").data(), buffer.data(), 16), 1);
  EXPECT_EQ(setAttribute(other, cci("Bcc").data(), cci("x").data()), 1);
  EXPECT_EQ(getOutputTerminalHandle(other, constOut), nullptr);
  EXPECT_EQ(getInputTerminalHandle(other, cci("in").data()), nullptr);
  EXPECT_EQ(units(other->nodeName), u"SomeOtherNode");
  EXPECT_EQ(other->serverPort, 25);
  EXPECT_EQ(other->priority, 3);
  deleteNodeContext(raw);

  // A class name longer than the record keeps 128 units and stays terminated.
  const auto longName = cci(std::u16string(300, u'n'));
  raw = createNodeContext(nullptr, longName.data(), nullptr);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(units(static_cast<NodeContext*>(raw)->nodeName), std::u16string(128, u'n'));
  deleteNodeContext(raw);
}

TEST_F(NodeContextTest, NamesTooLongForAnEntryAreRefused) {
  EXPECT_NE(insertAttributeTableEntry(context(), cci(std::u16string(127, u'a')).data(), 2), nullptr);
  EXPECT_EQ(insertAttributeTableEntry(context(), cci(std::u16string(128, u'b')).data(), 2), nullptr);
  EXPECT_NE(insertOutputTerminalListEntry(context(), cci(std::u16string(255, u'c')).data()), nullptr);
  EXPECT_EQ(insertOutputTerminalListEntry(context(), cci(std::u16string(256, u'd')).data()), nullptr);
  EXPECT_EQ(node_->attributeNames().size(), kNames.size() + 1);
  EXPECT_EQ(context()->outputTerminalListTail->name[0], u'c');
}

TEST_F(NodeContextTest, DeleteReleasesEverythingTheContextOwns) {
  auto dup = [](const char* s) {
    char* p = static_cast<char*>(std::malloc(std::strlen(s) + 1));
    std::strcpy(p, s);
    return p;
  };
  // Thousands of contexts made and released must leave the heap where it was, give or take
  // what the allocator caches: one leaked block per context would add up to far more. (The
  // sanitizer build's leak checker and double-free detection watch the same code.)
  const std::size_t before = mallinfo2().uordblks;
  for (int round = 0; round < 4000; ++round) {
    CciContext* raw = createNodeContext(nullptr, constPlugInNode, nullptr);
    ASSERT_NE(raw, nullptr);
    auto* ctx = static_cast<NodeContext*>(raw);
    ASSERT_NE(ctx->attributeTableHead, nullptr);
    ASSERT_NE(ctx->outputTerminalListTail, nullptr);
    ctx->serverName = dup("smtp.local");
    ctx->smtpFrom = dup("a@b.c");
    ctx->bcc = dup("x@y.z");
    if (round % 2 == 0) {
      ctx->fromAddress = ctx->smtpFrom;  // the same string, released once
    } else {
      ctx->smtpFullFrom = dup("A B");
      ctx->fromAddress = dup("A B <a@b.c>");
    }
    ctx->settingsLoaded = 1;
    deleteNodeContext(raw);
  }
  EXPECT_LT(mallinfo2().uordblks, before + 64 * 1024);
  deleteNodeContext(nullptr);
}

}  // namespace
