// Host text to and from 8-bit UTF-8 for the node's own logic, and the node string buffer:
// a growable NUL-terminated 8-bit string. Running out of memory in the buffer ends the
// process with a message on standard error.
#include "node_utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TvlSampPluginUtil.h"
#include "host_text.h"

namespace {

// The file name alone: the build's directory says nothing to whoever reads the message.
constexpr const char* kSourceFile = "node_utils.cpp";

[[noreturn]] void allocationFailed(int line) {
  std::fprintf(stderr, "Allocation Failed raised at %s:%d\n", kSourceFile, line);
  std::fprintf(stderr, "aborting...\n");
  std::fflush(stderr);
  std::abort();
}

constexpr uint32_t kInitialCapacity = 32;

}  // namespace

SM_EXTERN_C_BEGIN

CciChar* ASCIIToUnicode(const char* s) {
  const std::size_t units = std::strlen(s) + 1;
  return convertToUnits(s, units, units);
}

char* UnicodeToASCII(const CciChar* s) {
  return convertToUtf8(s, utf8Room(static_cast<std::size_t>(CciCharLen(s))));
}

NodeStringBuffer* NodeStringBufferAlloc(void) {
  auto* buffer = static_cast<NodeStringBuffer*>(std::malloc(sizeof(NodeStringBuffer)));
  if (!buffer) allocationFailed(__LINE__);
  buffer->capacity = kInitialCapacity;
  buffer->length = 0;
  buffer->data = static_cast<char*>(std::malloc(kInitialCapacity));
  if (!buffer->data) allocationFailed(__LINE__);
  buffer->data[0] = 0;  // readable even before the first append
  return buffer;
}

void NodeStringBufferAdd(NodeStringBuffer* buffer, const char* text) {
  const std::size_t n = std::strlen(text);
  // A text the 32-bit length cannot hold is a request no allocation can satisfy.
  if (n > UINT32_MAX) allocationFailed(__LINE__);
  NodeStringBufferResize(buffer, static_cast<uint32_t>(n));
  std::memcpy(buffer->data + buffer->length, text, n + 1);
  buffer->length += static_cast<uint32_t>(n);
}

void NodeStringBufferAddChar(NodeStringBuffer* buffer, char c) {
  NodeStringBufferResize(buffer, 2);
  buffer->data[buffer->length++] = c;
  buffer->data[buffer->length] = 0;
}

void NodeStringBufferFree(NodeStringBuffer* buffer) {
  std::free(buffer->data);
  std::free(buffer);
}

SM_EXTERN_C_END

void NodeStringBufferResize(NodeStringBuffer* buffer, uint32_t n) {
  // Sums in 64 bits: a size past what 32 bits can count must end in the abort path, never
  // wrap into a small capacity that the copy would then overrun.
  const uint64_t needed = uint64_t{buffer->length} + n + 1;
  if (needed < buffer->capacity) return;
  uint64_t capacity = uint64_t{buffer->capacity} * 2;
  if (needed >= capacity) capacity += uint64_t{n} + 1;
  if (capacity > UINT32_MAX) allocationFailed(__LINE__);
  auto* data = static_cast<char*>(std::realloc(buffer->data, capacity));
  if (!data) allocationFailed(__LINE__);
  buffer->data = data;
  buffer->capacity = static_cast<uint32_t>(capacity);
}
