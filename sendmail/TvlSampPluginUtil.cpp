// CciChar string helpers: conversions between UTF-8 text and CciChar strings through the
// host's converters, and the length, copy, bounded copy, comparison and character tests the
// node uses on host strings. No state; every returned string comes from malloc.
#include "TvlSampPluginUtil.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "util_alloc.h"

SM_EXTERN_C_BEGIN

CciChar* CciString(const char* s) {
  const std::size_t n = std::strlen(s) + 1;
  if (n > INT_MAX) return nullptr;
  // Zero-filled and terminated here too: a converter that fails leaves an empty string rather
  // than uninitialised memory. UTF-8 never needs more UTF-16 units than it has bytes.
  auto* out = sm::allocateZeroed<CciChar>(n);
  if (!out) return nullptr;
  int rc = 0;
  cciMbsToUcs(&rc, s, out, static_cast<int>(n), CCI_CODEPAGE_UTF8);
  out[n - 1] = 0;
  return out;
}

CciChar* CciNString(const char* s, int n) {
  if (n < 0) n = 0;
  auto* out = sm::allocateZeroed<CciChar>(static_cast<std::size_t>(n) + 1);
  if (!out) return nullptr;
  int rc = 0;
  cciMbsToUcs(&rc, s, out, n, CCI_CODEPAGE_UTF8);  // unit n stays 0
  return out;
}

char* mbString(const CciChar* s) {
  // Nine bytes per unit is far more than UTF-8 ever needs (at most three per unit).
  const std::size_t size = 9 * (static_cast<std::size_t>(CciCharLen(s)) + 1);
  if (size > INT_MAX) return nullptr;
  auto* out = sm::allocateZeroed<char>(size);
  if (!out) return nullptr;
  int rc = 0;
  cciUcsToMbs(&rc, s, out, static_cast<int>(size), CCI_CODEPAGE_UTF8);
  out[size - 1] = 0;
  return out;
}

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
