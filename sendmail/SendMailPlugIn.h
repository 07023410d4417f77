/* The node plug-in frame: the entry point the host calls by name, the node constants, the
   callback table's operations, the attribute table and terminal list entries of a node context,
   and readElementText. A C header: the context's layout and the other C++ internals are in
   private headers.

   Ownership rules of every exported function (this header, TvlSampPluginUtil.h, node_utils.h,
   SendMessage.h and SimpleSMTP/smtp.h):
   1. A function that returns a new string (CciString, CciNString, mbString, ASCIIToUnicode,
      UnicodeToASCII, readElementText) allocates it with malloc; the caller frees it with free.
      A null result means the allocation failed, or (readElementText) the evaluation must end.
   2. Texts the caller passes in stay the caller's: no function keeps or frees them, except
      readElementText, which may free *valueBuffer and put a new malloc'd buffer (and its
      capacity) in its place; the caller frees whichever buffer it holds at the end.
   3. The node constants are built once by initNodeConstants and never freed.
   4. createNodeContext allocates the context and every attribute and terminal entry it owns;
      deleteNodeContext frees them all, with the settings texts the context cached. Entries
      returned by insert...Entry belong to the context; terminal handles belong to the host.
   5. A node string buffer from NodeStringBufferAlloc is freed with NodeStringBufferFree, which
      frees its text too; its data pointer is valid until the next NodeStringBufferAdd,
      NodeStringBufferAddChar or NodeStringBufferFree of that buffer.
   6. A text returned by the SMTP client (SendEmailMessage, SmtpSendMessage's *text) or by an
      error-text function (SMTPErrorString, TCPIPErrorString, GetPriorityName, MonthShortName)
      is never freed by the caller: a constant, or the calling thread's reply buffer, valid
      until that thread's next call of the SMTP client.
   7. A session from SmtpInit is allocated with malloc and the caller frees it with free;
      SmtpCleanUp releases nothing of it. */
#ifndef SENDMAIL_SENDMAILPLUGIN_H
#define SENDMAIL_SENDMAILPLUGIN_H

#include <stdint.h>

#include "host/cni_host.h"
#include "sm_export.h"

/* Attribute value kinds. */
enum { ATTRIBUTE_KIND_INTEGER = 1, ATTRIBUTE_KIND_STRING = 2 };
/* Bytes of string attribute storage, terminator included. */
enum { ATTRIBUTE_STRING_SIZE = 256 };

typedef struct AttributeTableEntry {
  struct AttributeTableEntry* next;
  void* value; /* allocated with the entry, zero-filled; size by kind */
  int32_t type;
  CciChar name[128];
} AttributeTableEntry;

typedef struct TerminalListEntry {
  struct TerminalListEntry* next;
  CciTerminal* handle; /* what the host returned; may be null */
  CciChar name[256];
} TerminalListEntry;

/* The per-instance record that createNodeContext returns and every node operation takes.
   Its layout is the library's own (node_context.h); C callers only pass it back. */
typedef struct NodeContext NodeContext;

SM_EXTERN_C_BEGIN

/* Node constants: CciChar strings built by initNodeConstants, never released. */
SM_NODE_API extern CciChar* constTalvaneLarnet2;
SM_NODE_API extern CciChar* constPlugInNode;
SM_NODE_API extern CciChar* constPluginNodeFactory;
SM_NODE_API extern CciChar* constOut;
SM_NODE_API extern CciChar* constFailure;
SM_NODE_API extern CciChar* constYes;
SM_NODE_API extern CciChar* constTVMD;
SM_NODE_API extern CciChar* constPutDate;
SM_NODE_API extern CciChar* constPutTime;
SM_NODE_API extern CciChar* constMsgId;
SM_NODE_API extern CciChar* constFrom;
SM_NODE_API extern CciChar* constMailFrom;
SM_NODE_API extern CciChar* constTo;
SM_NODE_API extern CciChar* constMailTo;
SM_NODE_API extern CciChar* constCc;
SM_NODE_API extern CciChar* constMailCc;
SM_NODE_API extern CciChar* constBcc;
SM_NODE_API extern CciChar* constMailBcc;
SM_NODE_API extern CciChar* constSubject;
SM_NODE_API extern CciChar* constMailSubject;
SM_NODE_API extern CciChar* constBody;
SM_NODE_API extern CciChar* constMailBody;
SM_NODE_API extern CciChar* constHighest;
SM_NODE_API extern CciChar* constHigh;
SM_NODE_API extern CciChar* constNormal;
SM_NODE_API extern CciChar* constLow;
SM_NODE_API extern CciChar* constLowest;
SM_NODE_API extern CciChar* constSendMailError;

/* Entry point: the only function the host calls by name. */
SM_NODE_API CciFactory* tvlGetMessageflowNodeFactory(void);
SM_NODE_API void initNodeConstants(void);

/* Node operations registered in the callback table. */
SM_NODE_API CciContext* createNodeContext(CciFactory* factory, const CciChar* nodeName, CciNode* nodeObject);
SM_NODE_API int getAttributeName(CciContext* context, int32_t index, CciChar* buffer, int32_t bufferLength);
SM_NODE_API int setAttribute(CciContext* context, const CciChar* name, const CciChar* value);
SM_NODE_API int getAttribute(CciContext* context, const CciChar* name, CciChar* buffer, int32_t bufferLength);
SM_NODE_API void evaluate(CciContext* context, CciMessage* companionA, CciMessage* companionB, CciMessage* inputMessage);

/* Not registered: nothing in the broker calls it, but a host that does release node
   instances may, and everything the context owns is released. */
SM_NODE_API void deleteNodeContext(CciContext* context);

SM_NODE_API AttributeTableEntry* insertAttributeTableEntry(NodeContext* context, const CciChar* name, int32_t type);
SM_NODE_API TerminalListEntry* insertInputTerminalListEntry(NodeContext* context, const CciChar* name);
SM_NODE_API TerminalListEntry* insertOutputTerminalListEntry(NodeContext* context, const CciChar* name);
SM_NODE_API CciTerminal* getInputTerminalHandle(NodeContext* context, const CciChar* name);
SM_NODE_API CciTerminal* getOutputTerminalHandle(NodeContext* context, const CciChar* name);

/* Reads one element's character value into *valueBuffer (capacity in units), growing the
   buffer once when the host asks for more. Returns the value as new UTF-8 text, or null
   when the evaluation must end (*rc then holds the host's code). */
SM_NODE_API char* readElementText(int* rc, CciElement* element, CciChar** valueBuffer, int* capacity);

SM_EXTERN_C_END

#endif
