/* CciChar string helpers: conversions from and to 8-bit UTF-8 text through the host's
   converters, and length, copy, bounded copy, comparison and character tests.
   Every function that returns a string allocates it with malloc; the caller frees it. */
#ifndef SENDMAIL_TVLSAMPPLUGINUTIL_H
#define SENDMAIL_TVLSAMPPLUGINUTIL_H

#include "host/cni_host.h"
#include "sm_export.h"

SM_EXTERN_C_BEGIN

SM_API CciChar* CciString(const char* s);
SM_API CciChar* CciNString(const char* s, int n);
SM_API char* mbString(const CciChar* s);
SM_API int CciCharLen(const CciChar* s);
SM_API void CciCharCpy(CciChar* destination, const CciChar* source);
SM_API void CciCharNCpy(CciChar* destination, const CciChar* source, unsigned int n);
SM_API int CciCharCmp(const CciChar* a, const CciChar* b);
SM_API int CciCharIsSpace(CciChar c);
SM_API int CciCharIsAlnum(CciChar c);

SM_EXTERN_C_END

#include <cstddef>

/* Internal to the library, not exported. Both allocate a zero-filled block, convert into it
   through the host's converter and terminate it in its last element, so that a converter that
   fails leaves the empty text rather than uninitialised memory; null when the block cannot be
   had. */
/* `s` as CciChar units, in `units` units, the converter writing at most `limit` of them. */
CciChar* convertToUnits(const char* s, std::size_t units, std::size_t limit);
/* `s` as UTF-8 text in `bytes` bytes. */
char* convertToUtf8(const CciChar* s, std::size_t bytes);

#endif
