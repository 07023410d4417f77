/* UTF-16/UTF-8 conversion of host text, and the node string buffer: a growable
   NUL-terminated 8-bit string. The buffer is the one place that ends the process when
   memory runs out. */
#ifndef SENDMAIL_NODE_UTILS_H
#define SENDMAIL_NODE_UTILS_H

#include <stdint.h>

#include "host/cni_host.h"
#include "sm_export.h"

SM_EXTERN_C_BEGIN

typedef struct NodeStringBuffer {
  uint32_t length;   /* text bytes held, terminator not counted */
  uint32_t capacity; /* bytes allocated for data */
  char* data;
} NodeStringBuffer;

SM_NODE_API CciChar* ASCIIToUnicode(const char* s);
SM_NODE_API char* UnicodeToASCII(const CciChar* s);

SM_NODE_API NodeStringBuffer* NodeStringBufferAlloc(void);
SM_NODE_API void NodeStringBufferAdd(NodeStringBuffer* buffer, const char* text);
SM_NODE_API void NodeStringBufferAddChar(NodeStringBuffer* buffer, char c);
SM_NODE_API void NodeStringBufferFree(NodeStringBuffer* buffer);

SM_EXTERN_C_END

#endif
