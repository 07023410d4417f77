/* Heap helpers shared by the library's C-contract functions: zero-filled malloc blocks that
   the caller releases with free, and the RAII owner used while such a block is being built. */
#ifndef SENDMAIL_UTIL_ALLOC_H
#define SENDMAIL_UTIL_ALLOC_H

#include <cstdlib>
#include <memory>

namespace sm {

/* Allocation failure gives null (no exception): callers report it their own way. */
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

#endif
