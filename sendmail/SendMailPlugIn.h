/* The node plug-in frame: the entry point the host calls by name, the node constants,
   the callback table, and the per-instance node context with its attribute table and
   terminal lists. The evaluate callback and the pieces it is made of are declared here too. */
#ifndef SENDMAIL_SENDMAILPLUGIN_H
#define SENDMAIL_SENDMAILPLUGIN_H

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "host/cni_host.h"
#include "sm_export.h"

struct SubmitSettings;

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

struct NodeContext {
  CciNode* nodeObject;
  AttributeTableEntry* attributeTableHead;
  AttributeTableEntry* attributeTableTail;
  TerminalListEntry* inputTerminalListHead;
  TerminalListEntry* inputTerminalListTail;
  TerminalListEntry* outputTerminalListHead;
  TerminalListEntry* outputTerminalListTail;
  CciChar nodeName[129];
  /* Settings cached by the first evaluation; all texts are owned by the context, except
     that fromAddress may be the very same string as smtpFrom. */
  char* serverName;
  uint16_t serverPort;
  char* smtpFrom;
  char* smtpFullFrom;
  char* fromAddress;
  int8_t settingsLoaded;
  char* bcc;
  int8_t priority;
  /* Evaluations of one node may overlap: the settings load runs under this lock, and once
     settingsComplete is set (release) the fields above are never written again. */
  std::mutex settingsLock;
  std::atomic<bool> settingsComplete;
  /* Secure submission (SubmitSettings.h): loaded with the first group of settings, owned by
     the context, never changed once loaded. */
  SubmitSettings* submit;
};

SM_EXTERN_C_BEGIN

/* Node constants: CciChar strings built by initNodeConstants, never released. */
SM_API extern CciChar* constTalvaneLarnet2;
SM_API extern CciChar* constPlugInNode;
SM_API extern CciChar* constPluginNodeFactory;
SM_API extern CciChar* constOut;
SM_API extern CciChar* constFailure;
SM_API extern CciChar* constYes;
SM_API extern CciChar* constTVMD;
SM_API extern CciChar* constPutDate;
SM_API extern CciChar* constPutTime;
SM_API extern CciChar* constMsgId;
SM_API extern CciChar* constFrom;
SM_API extern CciChar* constMailFrom;
SM_API extern CciChar* constTo;
SM_API extern CciChar* constMailTo;
SM_API extern CciChar* constCc;
SM_API extern CciChar* constMailCc;
SM_API extern CciChar* constBcc;
SM_API extern CciChar* constMailBcc;
SM_API extern CciChar* constSubject;
SM_API extern CciChar* constMailSubject;
SM_API extern CciChar* constBody;
SM_API extern CciChar* constMailBody;
SM_API extern CciChar* constHighest;
SM_API extern CciChar* constHigh;
SM_API extern CciChar* constNormal;
SM_API extern CciChar* constLow;
SM_API extern CciChar* constLowest;
SM_API extern CciChar* constSendMailError;

/* Entry point: the only function the host calls by name. */
SM_API CciFactory* tvlGetMessageflowNodeFactory(void);
SM_API void initNodeConstants(void);

/* Node operations registered in the callback table. */
SM_API CciContext* createNodeContext(CciFactory* factory, const CciChar* nodeName, CciNode* nodeObject);
SM_API int getAttributeName(CciContext* context, int32_t index, CciChar* buffer, int32_t bufferLength);
SM_API int setAttribute(CciContext* context, const CciChar* name, const CciChar* value);
SM_API int getAttribute(CciContext* context, const CciChar* name, CciChar* buffer, int32_t bufferLength);
SM_API void evaluate(CciContext* context, CciMessage* companionA, CciMessage* companionB, CciMessage* inputMessage);

/* Not registered: nothing in the broker calls it, but a host that does release node
   instances may, and everything the context owns is released. */
SM_API void deleteNodeContext(CciContext* context);

SM_API AttributeTableEntry* insertAttributeTableEntry(NodeContext* context, const CciChar* name, int32_t type);
SM_API TerminalListEntry* insertInputTerminalListEntry(NodeContext* context, const CciChar* name);
SM_API TerminalListEntry* insertOutputTerminalListEntry(NodeContext* context, const CciChar* name);
SM_API CciTerminal* getInputTerminalHandle(NodeContext* context, const CciChar* name);
SM_API CciTerminal* getOutputTerminalHandle(NodeContext* context, const CciChar* name);

/* Reads one element's character value into *valueBuffer (capacity in units), growing the
   buffer once when the host asks for more. Returns the value as new UTF-8 text, or null
   when the evaluation must end (*rc then holds the host's code). */
SM_API char* readElementText(int* rc, CciElement* element, CciChar** valueBuffer, int* capacity);

SM_EXTERN_C_END

/* Internal to the library, not exported. */
int GetPriorityNumber(const CciChar* text);
const char* getErrorString(int code);

#endif
