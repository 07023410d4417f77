// CciChar string helpers: conversions between UTF-8 text and CciChar strings through the
// host's converters, and the length, copy, bounded copy, comparison and character tests the
// node uses on host strings. No state; every returned string comes from malloc.
#include "TvlSampPluginUtil.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "c_memory.h"
#include "host_text.h"

CciChar* convertToUnits(const char* s, std::size_t units, std::size_t limit) {
  if (units > INT_MAX || limit > units) return nullptr;
  auto* out = sm::allocateZeroed<CciChar>(units);
  if (!out) return nullptr;
  int rc = 0;
  cciMbsToUcs(&rc, s, out, static_cast<int>(limit), CCI_CODEPAGE_UTF8);
  out[units - 1] = 0;
  return out;
}

char* convertToUtf8(const CciChar* s, std::size_t bytes) {
  if (bytes > INT_MAX) return nullptr;
  auto* out = sm::allocateZeroed<char>(bytes);
  if (!out) return nullptr;
  int rc = 0;
  cciUcsToMbs(&rc, s, out, static_cast<int>(bytes), CCI_CODEPAGE_UTF8);
  out[bytes - 1] = 0;
  return out;
}

SM_EXTERN_C_BEGIN

// UTF-8 never needs more UTF-16 units than it has bytes.
CciChar* CciString(const char* s) {
  const std::size_t n = std::strlen(s) + 1;
  return convertToUnits(s, n, n);
}

// The converter may fill n units; unit n stays 0.
CciChar* CciNString(const char* s, int n) {
  const std::size_t units = n < 0 ? 0 : static_cast<std::size_t>(n);
  return convertToUnits(s, units + 1, units);
}

// Nine bytes per unit is far more than UTF-8 ever needs (at most three per unit).
char* mbString(const CciChar* s) { return convertToUtf8(s, 9 * (static_cast<std::size_t>(CciCharLen(s)) + 1)); }

int CciCharLen(const CciChar* s) {
  int n = 0;
  while (s[n] != 0) ++n;
  return n;
}

void CciCharCpy(CciChar* destination, const CciChar* source) {
  while ((*destination++ = *source++) != 0) {
  }
}

void CciCharNCpy(CciChar* destination, const CciChar* source, unsigned int n) {
  for (unsigned int i = 0; i < n; ++i) {
    destination[i] = *source;
    if (*source != 0) ++source;
  }
}

int CciCharCmp(const CciChar* a, const CciChar* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<int>(*a) - static_cast<int>(*b);
}

int CciCharIsSpace(CciChar c) { return (c >= 9 && c <= 13) || c == 32 ? 1 : 0; }

int CciCharIsAlnum(CciChar c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? 1 : 0;
}

SM_EXTERN_C_END
