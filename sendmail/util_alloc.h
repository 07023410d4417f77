/* Heap helpers shared by the library's C-contract functions: zero-filled malloc blocks that
   the caller releases with free, the RAII owner used while such a block is being built, and the
   huge-page hint for large blocks. */
#ifndef SENDMAIL_UTIL_ALLOC_H
#define SENDMAIL_UTIL_ALLOC_H

#include <sys/mman.h>

#include <cstdint>
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

/* Asks for transparent huge pages on the whole 2 MiB pages of a large block not yet touched (a
   no-op below 4 MiB): filling it then costs a few page faults instead of thousands. */
inline void preferHugePages(void* block, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (block == nullptr || bytes < 2 * kHuge) return;
  const auto start = (reinterpret_cast<std::uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(kHuge - 1);
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace sm

#endif
