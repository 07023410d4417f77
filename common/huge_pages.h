// The huge-page hint for large blocks (values of tens of MiB, mapped input files), used alike by
// the plug-in, the in-memory host and the runner.
#ifndef COMMON_HUGE_PAGES_H
#define COMMON_HUGE_PAGES_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace hugepages {

// Whole 2 MiB pages of a block not yet touched, from 4 MiB up: a few faults instead of thousands.
inline void prefer(void* block, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (block == nullptr || bytes < 2 * kHuge) return;
  const auto start = (reinterpret_cast<std::uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(kHuge - 1);
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace hugepages

#endif
