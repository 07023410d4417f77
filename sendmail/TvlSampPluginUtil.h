/* CciChar string helpers: conversions from and to 8-bit UTF-8 text through the host's
   converters, and length, copy, bounded copy, comparison and character tests.
   Every function that returns a string allocates it with malloc; the caller frees it
   (the ownership rules are in SendMailPlugIn.h). */
#ifndef SENDMAIL_TVLSAMPPLUGINUTIL_H
#define SENDMAIL_TVLSAMPPLUGINUTIL_H

#include "host/cni_host.h"
#include "sm_export.h"

SM_EXTERN_C_BEGIN

SM_NODE_API CciChar* CciString(const char* s);
SM_NODE_API CciChar* CciNString(const char* s, int n);
SM_NODE_API char* mbString(const CciChar* s);
SM_NODE_API int CciCharLen(const CciChar* s);
SM_NODE_API void CciCharCpy(CciChar* destination, const CciChar* source);
SM_NODE_API void CciCharNCpy(CciChar* destination, const CciChar* source, unsigned int n);
SM_NODE_API int CciCharCmp(const CciChar* a, const CciChar* b);
SM_NODE_API int CciCharIsSpace(CciChar c);
SM_NODE_API int CciCharIsAlnum(CciChar c);

SM_EXTERN_C_END

#endif
