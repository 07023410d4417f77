// The node string buffer: appends and joins that keep a free byte beyond the terminator, and
// the abort path taken when memory cannot be had.
#include <sys/resource.h>

#include <string>

#include "node_internal.h"
#include "node_utils.h"
#include "test_support.h"

namespace {

struct BufferDeleter {
  void operator()(NodeStringBuffer* b) const { NodeStringBufferFree(b); }
};
using Buffer = std::unique_ptr<NodeStringBuffer, BufferDeleter>;

TEST(NodeStringBuffer, JoinsAndKeepsAFreeByteBeyondTheTerminator) {
  Buffer b(NodeStringBufferAlloc());
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

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Runs in the death test's child only: 1 GiB of address space, then ask for 3 GiB. (A
// sanitizer's allocator reports an exhausted address space itself.)
void growBeyondAddressSpace() {
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
  setrlimit(RLIMIT_AS, &limit);
  Buffer b(NodeStringBufferAlloc());
  NodeStringBufferResize(b.get(), 3u << 30);
}
#endif

// A failed reallocation, and a request no 32-bit capacity can hold (which must not wrap into a
// small block), both take the abort path.
TEST(NodeStringBufferDeathTest, SizesThatCannotBeHadTakeTheAbortPath) {
  constexpr const char* kAbort = "Allocation Failed raised at node_utils\\.cpp:[0-9]+\naborting\\.\\.\\.\n";
  EXPECT_DEATH(
      {
        Buffer b(NodeStringBufferAlloc());
        NodeStringBufferAdd(b.get(), "0123456789");
        NodeStringBufferResize(b.get(), UINT32_MAX - 5);
      },
      kAbort);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_DEATH(growBeyondAddressSpace(), kAbort);
#endif
}

}  // namespace
