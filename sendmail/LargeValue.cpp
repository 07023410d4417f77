// Large element values: one of a megabyte or more is read into a private mapping of its own and
// converted to UTF-8 in steps, its pages given back (or its text written over them) as it goes,
// so that the node holds a large body about once, not one and a half times.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "evaluate_internal.h"
#include "huge_pages.h"

namespace evaluation {
namespace {

constexpr std::size_t kStepUnits = std::size_t{1} << 20;  // 2 MiB: one huge page

std::size_t pageSize() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }
std::size_t pageUp(std::size_t n) { return (n + pageSize() - 1) / pageSize() * pageSize(); }

// Where the first NUL unit lies in [p, p + n), or n. Four units at a time.
std::size_t findNul(const CciChar* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint64_t v;
    std::memcpy(&v, p + i, sizeof v);
    if (((v - 0x0001000100010001u) & ~v & 0x8000800080008000u) != 0) break;
  }
  while (i < n && p[i] != 0) ++i;
  return i;
}

}  // namespace

// UTF-8 of the NUL-terminated `units` into `out` (`room` bytes, terminated). Returns the bytes
// written. A converter that fails leaves the empty text, as the node's string helpers do.
std::size_t toUtf8(const CciChar* units, char* out, std::size_t room) {
  out[0] = '\0';
  int rc = 0;
  const int needed = cciUcsToMbs(&rc, units, out, static_cast<int>(room), CCI_CODEPAGE_UTF8);
  out[room - 1] = '\0';
  if (needed >= 0 && static_cast<std::size_t>(needed) < room) return static_cast<std::size_t>(needed);
  return std::strlen(out);
}

std::size_t hostUtf8Room(std::size_t units) {
  if (units > (INT32_MAX - 1) / 3) throw std::bad_alloc();
  return utf8Room(units);
}

MappedUnits::MappedUnits(std::size_t units) : bytes_(pageUp((units + 1) * sizeof(CciChar))) {
  void* p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  base_ = static_cast<CciChar*>(p);
  hugepages::prefer(p, bytes_);
}

MappedUnits::~MappedUnits() { ::munmap(reinterpret_cast<char*>(base_) + released_, bytes_ - released_); }

int MappedUnits::capacity() const {
  return static_cast<int>(std::min<std::size_t>(bytes_ / sizeof(CciChar), INT32_MAX));
}

void MappedUnits::releaseBefore(std::size_t done) {
  const std::size_t upTo = (done * sizeof(CciChar)) / pageSize() * pageSize();
  if (upTo <= released_) return;
  ::munmap(reinterpret_cast<char*>(base_) + released_, upTo - released_);
  released_ = upTo;
}

BodyText MappedUnits::takeFront(std::size_t used) {
  const std::size_t keep = std::min(pageUp(used), bytes_);
  if (keep < bytes_) ::munmap(reinterpret_cast<char*>(base_) + keep, bytes_ - keep);
  BodyText text(reinterpret_cast<char*>(base_), BodyRelease{keep});
  base_ = nullptr;
  bytes_ = released_ = 0;
  return text;
}

BodyText convertMapped(MappedUnits& mapped, std::size_t length, bool inPlace) {
  CciChar* units = mapped.units();
  char* front = reinterpret_cast<char*>(units);
  const auto newBuffer = [length] {
    CString buffer = ownOrThrow(static_cast<char*>(std::malloc(hostUtf8Room(length))));
    hugepages::prefer(buffer.get(), hostUtf8Room(length));
    return buffer;
  };
  CString separate;
  std::unique_ptr<char[]> step;
  if (inPlace) {
    step.reset(new char[hostUtf8Room(kStepUnits)]);
  } else {
    separate = newBuffer();
  }
  std::size_t written = 0;
  for (std::size_t done = 0; done < length;) {
    std::size_t end = std::min(length, done + kStepUnits);
    if (end < length && units[end - 1] >= 0xD800 && units[end - 1] <= 0xDBFF) --end;
    const std::size_t nul = done + findNul(units + done, end - done);
    const CciChar saved = units[nul];
    units[nul] = 0;
    if (separate) {
      written += toUtf8(units + done, separate.get() + written, hostUtf8Room(nul - done));
    } else {
      const std::size_t n = toUtf8(units + done, step.get(), hostUtf8Room(nul - done));
      if (written + n > nul * sizeof(CciChar)) {
        // It would reach units not yet converted: the text moves to a buffer of its own.
        separate = newBuffer();
        std::memcpy(separate.get(), front, written);
        std::memcpy(separate.get() + written, step.get(), n + 1);
      } else {
        std::memcpy(front + written, step.get(), n + 1);
      }
      written += n;
    }
    units[nul] = saved;
    if (nul < end) break;
    done = end;
    if (separate) mapped.releaseBefore(done);
  }
  if (!separate) {
    front[written] = '\0';
    return mapped.takeFront(written + 1);
  }
  separate.get()[written] = '\0';
  if (char* smaller = static_cast<char*>(std::realloc(separate.get(), written + 1))) {
    separate.release();
    separate.reset(smaller);
  }
  return BodyText(separate.release());
}

}  // namespace evaluation

void evaluation::BodyRelease::operator()(char* text) const noexcept {
  if (mapped != 0) {
    ::munmap(text, mapped);
  } else {
    std::free(text);
  }
}
