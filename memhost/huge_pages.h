// The huge-page hint for the host's and the runner's large blocks (UTF-16 values of tens of
// MiB, mapped input files): the host keeps its own copy so that it never sees the plug-in's
// private headers.
#ifndef MEMHOST_HUGE_PAGES_H
#define MEMHOST_HUGE_PAGES_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace memhost {

// Whole 2 MiB pages of a block not yet touched, from 4 MiB up: a few faults instead of thousands.
inline void preferHugePages(void* block, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (block == nullptr || bytes < 2 * kHuge) return;
  const auto start = (reinterpret_cast<std::uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(kHuge - 1);
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace memhost

#endif
