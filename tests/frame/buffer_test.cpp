// The node string buffer: its growth rule, appends and joins, and the abort path taken when
// memory cannot be had.
#include <sys/resource.h>

#include <string>

#include "node_utils.h"
#include "node_internal.h"
#include "test_support.h"

namespace {

struct BufferDeleter {
  void operator()(NodeStringBuffer* b) const { NodeStringBufferFree(b); }
};
using Buffer = std::unique_ptr<NodeStringBuffer, BufferDeleter>;

Buffer fresh() { return Buffer(NodeStringBufferAlloc()); }

TEST(NodeStringBuffer, GrowthRule) {
  Buffer b = fresh();
  EXPECT_EQ(b->length, 0u);
  EXPECT_EQ(b->capacity, 32u);

  NodeStringBufferAdd(b.get(), "");
  EXPECT_EQ(b->data[0], '\0');
  EXPECT_EQ(b->capacity, 32u);

  struct Case {
    std::size_t bytes;
    uint32_t capacity;
  };
  for (const Case c : {Case{30, 32}, Case{31, 64}, Case{100, 165}}) {
    Buffer one = fresh();
    NodeStringBufferAdd(one.get(), std::string(c.bytes, 'x').c_str());
    EXPECT_EQ(one->capacity, c.capacity) << c.bytes;
    EXPECT_EQ(one->length, c.bytes);
    EXPECT_EQ(std::string(one->data), std::string(c.bytes, 'x'));
  }

  // At length 29 one more byte still fits through Add; AddChar reserves two and grows.
  Buffer add = fresh();
  Buffer addChar = fresh();
  NodeStringBufferAdd(add.get(), std::string(29, 'y').c_str());
  NodeStringBufferAdd(addChar.get(), std::string(29, 'y').c_str());
  NodeStringBufferAdd(add.get(), "z");
  NodeStringBufferAddChar(addChar.get(), 'z');
  EXPECT_EQ(add->capacity, 32u);
  EXPECT_EQ(addChar->capacity, 64u);
  EXPECT_EQ(std::string(add->data), std::string(addChar->data));
}

TEST(NodeStringBuffer, JoinsAndKeepsAFreeByteBeyondTheTerminator) {
  Buffer b = fresh();
  NodeStringBufferAdd(b.get(), "a");
  NodeStringBufferAdd(b.get(), "; ");
  NodeStringBufferAdd(b.get(), "b");
  EXPECT_STREQ(b->data, "a; b");
  EXPECT_EQ(b->length, 4u);

  std::string expected = "a; b";
  for (int i = 0; i < 500; ++i) {
    const std::string piece(static_cast<std::size_t>(i % 37), static_cast<char>('a' + i % 26));
    NodeStringBufferAdd(b.get(), piece.c_str());
    NodeStringBufferAddChar(b.get(), '\n');
    expected += piece + '\n';
    ASSERT_LT(b->length + 1, b->capacity);
  }
  EXPECT_EQ(std::string(b->data, b->length), expected);
  EXPECT_EQ(b->data[b->length], '\0');
}

constexpr const char* kAbortMessage =
    "Allocation Failed raised at node_utils\\.cpp:[0-9]+\naborting\\.\\.\\.\n";

TEST(NodeStringBufferDeathTest, SizeBeyondThirtyTwoBitsTakesTheAbortPath) {
  // A request no 32-bit capacity can hold must not wrap into a small block.
  EXPECT_DEATH(
      {
        Buffer b = fresh();
        NodeStringBufferAdd(b.get(), "0123456789");
        NodeStringBufferResize(b.get(), UINT32_MAX - 5);
      },
      kAbortMessage);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
TEST(NodeStringBufferDeathTest, FailedReallocationTakesTheAbortPath) {
  GTEST_SKIP() << "the sanitizer's allocator reports an exhausted address space itself";
}
#else
void growBeyondAddressSpace() {
  // Runs in the death test's child only: 1 GiB of address space, then ask for 3 GiB.
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
  setrlimit(RLIMIT_AS, &limit);
  Buffer b = fresh();
  NodeStringBufferResize(b.get(), 3u << 30);
}

TEST(NodeStringBufferDeathTest, FailedReallocationTakesTheAbortPath) {
  EXPECT_DEATH(growBeyondAddressSpace(), kAbortMessage);
}
#endif

}  // namespace
