// The library's C-heap memory: zero-filled malloc blocks for its C-contract functions (which
// report a failed allocation as null, never by exception), and owners for the C-heap objects its
// C interface hands around (malloc'd strings, node string buffers). Inside the library every
// such object lives in one of these, so no path, the host's exception unwinding included, leaks it.
#ifndef SENDMAIL_C_MEMORY_H
#define SENDMAIL_C_MEMORY_H

#include <cstdlib>
#include <memory>
#include <new>

#include "host/cni_host.h"
#include "node_utils.h"

namespace sm {

// Allocation failure gives null (no exception): callers report it their own way.
template <typename T>
T* allocateZeroed(std::size_t count) {
  return static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T)));
}

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace sm

using CString = sm::MallocPtr<char>;
using CciText = sm::MallocPtr<CciChar>;

struct NodeStringBufferDeleter {
  void operator()(NodeStringBuffer* b) const noexcept { NodeStringBufferFree(b); }
};
using StringBuffer = std::unique_ptr<NodeStringBuffer, NodeStringBufferDeleter>;

// Takes ownership of a malloc'd result; a null result means the allocation failed.
template <class T>
sm::MallocPtr<T> ownOrThrow(T* p) {
  if (p == nullptr) throw std::bad_alloc();
  return sm::MallocPtr<T>(p);
}

#endif
