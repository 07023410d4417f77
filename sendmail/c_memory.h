// Owners for the C-heap objects the library's C interface hands around: malloc'd strings and
// node string buffers. Inside the library every such object lives in one of these, so no
// path, the host's exception unwinding included, leaks it.
#ifndef SENDMAIL_C_MEMORY_H
#define SENDMAIL_C_MEMORY_H

#include <cstdlib>
#include <memory>
#include <new>

#include "host/cni_host.h"
#include "node_utils.h"
#include "util_alloc.h"

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
