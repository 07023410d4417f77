// The node frame, linked with the plug-in's objects: the entry point (its roads, the class and
// table it registers, the constants it builds once), node contexts (attributes within the
// caller's buffer, terminals, other classes), the host strings and the node string buffer.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SendMailPlugIn.h"
#include "TvlSampPluginUtil.h"
#include "host_text.h"
#include "memhost.h"
#include "node_context.h"
#include "node_schema.h"
#include "node_utils.h"

namespace {

constexpr CciChar k = 0x7777;  // in a buffer: a unit nobody wrote
constexpr std::size_t kAttributes = 36;

using memhost::toCci;
using memhost::fromCci;
std::vector<CciChar> cci(std::u16string_view s) { return toCci(s); }
std::vector<CciChar> cci(std::string_view utf8) { return toCci(memhost::toUtf16(utf8)); }

struct Free {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// Every test starts from a forgotten host with one node of the class; contexts the node made
// are released at the end.
class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    host().reset();
    host().setContextReleaser(deleteNodeContext);
    ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
    ASSERT_NE(node_ = host().createNode("SendMailPlugInNode"), nullptr);
    context_ = static_cast<NodeContext*>(node_->context());
  }
  void TearDown() override { host().reset(); }
  static memhost::Host& host() { return memhost::Host::instance(); }
  int get(std::string_view name, std::vector<CciChar>& buffer, int32_t length) {
    return getAttribute(context_, cci(name).data(), buffer.data(), length);
  }
  memhost::Node* node_ = nullptr;
  NodeContext* context_ = nullptr;
};

// ---------------------------------------------------------------- entry point

// Each row is one road of the entry point: the factory made (the class defined with its table,
// no return-code location passed for that); cniCreateNodeFactory failing with the exception
// code (fetched and re-raised on the same return-code location); with another code (nothing
// more called). The constants are already built (SetUp): these are all the calls.
TEST_F(Frame, EntryPointRoads) {
  const struct { int code; std::vector<std::string> calls; } rows[] = {
      {0, {"cniCreateNodeFactory", "cniDefineNodeClass"}},
      {CCI_EXCEPTION, {"cniCreateNodeFactory", "cciGetLastExceptionData", "cciRethrowLastException"}},
      {CCI_BUFFER_TOO_SMALL, {"cniCreateNodeFactory"}}, {99, {"cniCreateNodeFactory"}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    host().reset();
    if (row.code != 0) host().injectFault("cniCreateNodeFactory", 1, row.code);
    host().recordCalls(true);
    CciFactory* factory = tvlGetMessageflowNodeFactory();
    const std::vector<memhost::HostCall> calls = host().calls();
    std::vector<std::string> operations;
    for (const memhost::HostCall& call : calls) operations.push_back(call.operation);
    EXPECT_EQ(operations, row.calls);
    EXPECT_EQ(host().rethrowCount(), row.code == CCI_EXCEPTION ? 1u : 0u);
    const memhost::NodeClass* nodeClass = host().findClass("SendMailPlugInNode");
    if (row.code != 0) {
      EXPECT_TRUE(factory == nullptr && nodeClass == nullptr && calls.back().rc != nullptr);
      for (const memhost::HostCall& call : calls) EXPECT_EQ(call.rc, calls.back().rc);
      continue;
    }
    EXPECT_EQ(calls.back().rc, nullptr);
    ASSERT_NE(nodeClass, nullptr);
    EXPECT_TRUE(factory != nullptr && nodeClass->factory == factory && nodeClass->table->reserved == nullptr);
    EXPECT_EQ(memhost::toUtf8(nodeClass->factoryName), "SendMailPlugInNodeFactory");
  }

  // A host that calls the entry point again gets the same constants: no new set per call.
  const CciChar* tvmd = constTVMD;
  const unsigned conversions = host().callCount("cciMbsToUcs");
  ASSERT_NE(tvlGetMessageflowNodeFactory(), nullptr);
  EXPECT_EQ(constTVMD, tvmd);
  EXPECT_EQ(fromCci(constTVMD), u"TVMD");
  EXPECT_EQ(host().callCount("cciMbsToUcs"), conversions) << "constants built again";
}

// ---------------------------------------------------------------- node contexts

// A new context: its attributes and the host's handles of its three terminals; a terminal the
// host could not create has no handle, and the rest of the node is whole. A context of another
// class has no attributes and no terminals, and its name is cut to the record's 128 units.
TEST_F(Frame, NewContextHasItsAttributesAndTerminals) {
  EXPECT_EQ(node_->attributeNames().size(), kAttributes);
  EXPECT_EQ(fromCci(context_->nodeName), u"SendMailPlugInNode");
  std::vector<std::string> names;
  for (const auto& t : node_->terminals()) names.push_back(t->nameUtf8() + (t->isInput() ? "<" : ">"));
  EXPECT_EQ(names, (std::vector<std::string>{"in<", "out>", "failure>"}));
  const auto in = cci("in");
  EXPECT_EQ(std::make_tuple(getInputTerminalHandle(context_, in.data()), getOutputTerminalHandle(context_, constOut),
                            getOutputTerminalHandle(context_, constFailure), getOutputTerminalHandle(context_, in.data()),
                            getInputTerminalHandle(context_, constOut)),
            std::make_tuple(node_->terminal("in")->handle(), node_->terminal("out")->handle(),
                            node_->terminal("failure")->handle(), nullptr, nullptr));
  host().injectFault("cniCreateOutputTerminal", 1, 22);
  EXPECT_NE(getOutputTerminalHandle(static_cast<NodeContext*>(host().createNode("SendMailPlugInNode", "node2")->context()),
                                    constFailure), nullptr);

  for (const auto& name : {cci("SomeOtherNode"), cci(std::u16string(300, u'n'))}) {
    auto* other = static_cast<NodeContext*>(createNodeContext(nullptr, name.data(), nullptr));
    ASSERT_NE(other, nullptr);
    std::vector<CciChar> buffer(16, k);
    EXPECT_EQ(std::make_tuple(getAttributeName(other, 0, buffer.data(), 16),
                              getAttribute(other, cci("Bcc").data(), buffer.data(), 16),
                              setAttribute(other, cci("Bcc").data(), cci("x").data()), getOutputTerminalHandle(other, constOut),
                              getInputTerminalHandle(other, in.data()), other->serverPort),
              std::make_tuple(1, 1, 1, nullptr, nullptr, 25));
    EXPECT_EQ(fromCci(other->nodeName), name.size() > 128 ? std::u16string(128, u'n') : u"SomeOtherNode");
    deleteNodeContext(other);
  }
  deleteNodeContext(nullptr);
}

// Each row sets one attribute in turn and reads it back: names are case-sensitive, a value
// replaces the last, the stored 8-bit form holds at most 255 bytes (a refused value
// leaves the old one), and integer attributes read as the number the text starts with. Names
// too long for an entry are refused.
TEST_F(Frame, SetAndReadBack) {
  ASSERT_NE(insertAttributeTableEntry(context_, cci("Count").data(), ATTRIBUTE_KIND_INTEGER), nullptr);
  std::string accents;
  for (int i = 0; i < 127; ++i) accents += "é";
  const struct { const char* name; std::string value; int rc; std::string reads; } rows[] = {
      {"bcc", "x", 1, ""}, {"Priority", "Grüße 東京 😀", 0, "Grüße 東京 😀"},
      {"SMTPFrom", std::string(255, 'v'), 0, std::string(255, 'v')},
      {"SMTPFrom", std::string(256, 'w'), 1, std::string(255, 'v')},
      {"C", accents, 0, accents},  // 254 bytes
      {"C", accents + "é", 1, accents},
      {"Count", "  -42abc", 0, "-42"}, {"Count", "none", 0, "0"},
      {"Count", "99999999999999", 0, "2147483647"}, {"Count", "-99999999999999", 0, "-2147483648"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(setAttribute(context_, cci(row.name).data(), cci(row.value).data()), row.rc) << row.name;
    std::string value;
    EXPECT_EQ(node_->getAttribute(row.name, value), row.rc == 0 || !row.reads.empty()) << row.name;
    EXPECT_EQ(value, row.reads) << row.name;
  }
  std::vector<CciChar> buffer(8, k);
  EXPECT_EQ(get("bcc", buffer, 8), 1);
  ASSERT_NE(insertAttributeTableEntry(context_, cci("Opaque").data(), 7), nullptr);
  EXPECT_EQ(setAttribute(context_, cci("Opaque").data(), cci("anything").data()), 0);
  EXPECT_EQ(get("Opaque", buffer, 8), 0);
  EXPECT_EQ(buffer, std::vector<CciChar>(8, k)) << "neither an unknown name nor an unknown kind writes";

  EXPECT_NE(insertAttributeTableEntry(context_, cci(std::u16string(127, u'a')).data(), 2), nullptr);
  EXPECT_EQ(insertAttributeTableEntry(context_, cci(std::u16string(128, u'b')).data(), 2), nullptr);
  EXPECT_NE(insertOutputTerminalListEntry(context_, cci(std::u16string(255, u'c')).data()), nullptr);
  EXPECT_EQ(insertOutputTerminalListEntry(context_, cci(std::u16string(256, u'd')).data()), nullptr);
  EXPECT_EQ(node_->attributeNames().size(), kAttributes + 3);
  EXPECT_EQ(context_->outputTerminalListTail->name[0], u'c');
}

// Each row reads a value (index -1: of Bcc) or an attribute's name into a buffer of 600 units
// with the caller's `length`: it holds `written`, then only `tail` from unit `from` on. What is
// written stays within the length, and values within 256 units.
TEST_F(Frame, ReadsStayWithinTheCallersBuffer) {
  ASSERT_EQ(setAttribute(context_, cci("Bcc").data(), cci("abcdef").data()), 0);
  const struct { int index; int32_t length; std::vector<CciChar> written; CciChar tail; std::size_t from; } rows[] = {
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
                                 : getAttributeName(context_, row.index, buffer.data(), row.length);
    EXPECT_EQ(rc, row.index >= static_cast<int>(kAttributes) ? 1 : 0);
    EXPECT_EQ(std::vector<CciChar>(buffer.begin(), buffer.begin() + row.written.size()), row.written);
    const std::size_t end = row.tail == 0 ? 256 : 600;
    for (std::size_t i = row.from; i < end; ++i) ASSERT_EQ(buffer[i], row.tail) << i;
    for (std::size_t i = end; i < 600; ++i) ASSERT_EQ(buffer[i], k) << "at most 256 units are written";
  }
}

// ---------------------------------------------------------------- host strings

// Through the host's converters both ways, whole text whatever its characters; lone surrogates
// each become U+FFFD (three bytes for one unit: the worst case).
TEST_F(Frame, ConversionsRoundTripAndConvertWholeText) {
  for (const char* sample : {"", "plain ascii", "Grüße aus Köln", "東京都", "mail 😀 and 👍🏽", "mixed é東😀x"}) {
    SCOPED_TRACE(sample);
    const std::u16string expected = memhost::toUtf16(sample);
    Owned<CciChar> viaCciString(CciString(sample)), viaAscii(ASCIIToUnicode(sample));
    ASSERT_TRUE(viaCciString && viaAscii);
    EXPECT_EQ(std::make_tuple(fromCci(viaCciString.get()), fromCci(viaAscii.get()), CciCharLen(viaCciString.get())),
              std::make_tuple(expected, expected, static_cast<int>(expected.size())));
    Owned<char> back(UnicodeToASCII(viaCciString.get())), backMb(mbString(viaCciString.get()));
    ASSERT_TRUE(back && backMb);
    EXPECT_EQ(std::string(back.get()) + "|" + backMb.get(), std::string(sample) + "|" + sample);
  }
  EXPECT_STREQ(Owned<char>(UnicodeToASCII(cci(u"\xDC00\xD800" u"a\xDFFF").data())).get(),
               "\xEF\xBF\xBD\xEF\xBF\xBD" "a\xEF\xBF\xBD");

  // A converter that fails must not hand back uninitialised memory.
  for (const auto& [operation, nth, code] : {std::tuple{"cciMbsToUcs", 1, 64}, {"cciMbsToUcs", 2, 22},
                                             {"cciUcsToMbs", 1, 7}, {"cciUcsToMbs", 2, 64}})
    host().injectFault(operation, nth, code);
  EXPECT_EQ(fromCci(Owned<CciChar>(CciString("hello")).get()), u"");
  EXPECT_EQ(fromCci(Owned<CciChar>(ASCIIToUnicode("hello")).get()), u"");
  EXPECT_STREQ(Owned<char>(UnicodeToASCII(cci("hello").data())).get(), "");
  EXPECT_STREQ(Owned<char>(mbString(cci("hello").data())).get(), "");
}

// CciNString keeps at most n units, never splits a surrogate pair, and zeroes the rest.
// Comparison is by unsigned unit, a prefix first. (CciCharNCpy fills the attribute reads above.)
TEST_F(Frame, BoundedConversionAndComparison) {
  const struct { const char* text; int n; std::u16string units; } rows[] = {
      {"abcdef", 3, u"abc"}, {"ab", 5, u"ab"}, {"a😀", 2, u"a"}, {"abc", -4, u""}};
  for (const auto& row : rows) {
    Owned<CciChar> got(CciNString(row.text, row.n));
    ASSERT_TRUE(got) << row.text;
    EXPECT_EQ(fromCci(got.get()), row.units) << row.text;
    for (int i = static_cast<int>(row.units.size()); i <= row.n; ++i) EXPECT_EQ(got.get()[i], 0) << i;
  }
  const auto compare = [](std::u16string_view a, std::u16string_view b) { return CciCharCmp(cci(a).data(), cci(b).data()); };
  EXPECT_EQ(std::make_tuple(compare(u"abc", u"abc"), compare(u"ab", u"abc") < 0, compare(u"B", u"a") < 0,
                            compare(u"x\xFFFF", u"xA") > 0, compare(u"A", u"\xFFFF") < 0),
            std::make_tuple(0, true, true, true, true));
}

// ---------------------------------------------------------------- node string buffer

using Buffer = std::unique_ptr<NodeStringBuffer, decltype(&NodeStringBufferFree)>;

TEST(NodeStringBuffer, JoinsAndKeepsAFreeByteBeyondTheTerminator) {
  Buffer b(NodeStringBufferAlloc(), NodeStringBufferFree);
  EXPECT_STREQ(b->data, "") << "readable before the first append";
  std::string expected(31, 'x');  // with its terminator, exactly the first capacity
  NodeStringBufferAdd(b.get(), expected.c_str());
  ASSERT_LT(b->length + 1, b->capacity);
  for (int i = 0; i < 500; ++i) {
    const std::string piece(static_cast<std::size_t>(i % 37), static_cast<char>('a' + i % 26));
    NodeStringBufferAdd(b.get(), piece.c_str());
    NodeStringBufferAddChar(b.get(), '\n');
    expected += piece + '\n';
    ASSERT_LT(b->length + 1, b->capacity);
    ASSERT_EQ(b->data[b->length], '\0');
  }
  EXPECT_EQ(std::string(b->data, b->length), expected);
}

// A failed reallocation, and a request no 32-bit capacity can hold (which must not wrap into a
// small block), both take the abort path. (A sanitizer's allocator reports an exhausted address
// space itself.)
TEST(NodeStringBufferDeathTest, SizesThatCannotBeHadTakeTheAbortPath) {
  constexpr const char* kAbort = "Allocation Failed raised at node_utils\\.cpp:[0-9]+\naborting\\.\\.\\.\n";
  const auto grow = [](uint32_t size, rlim_t addressSpace) {
    if (addressSpace != 0) {
      const rlimit limit{addressSpace, addressSpace};
      setrlimit(RLIMIT_AS, &limit);
    }
    Buffer b(NodeStringBufferAlloc(), NodeStringBufferFree);
    NodeStringBufferAdd(b.get(), "0123456789");
    NodeStringBufferResize(b.get(), size);
  };
  EXPECT_DEATH(grow(UINT32_MAX - 5, 0), kAbort);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_DEATH(grow(3u << 30, rlim_t{1} << 30), kAbort);  // 3 GiB within 1 GiB of address space
#endif
}

}  // namespace
