// The node context's full definition, hidden from the exported C header because its lock state
// is C++: the attribute table and terminal lists of one node instance, and the settings its
// first evaluation caches. Nothing declared here is exported.
#ifndef SENDMAIL_NODE_CONTEXT_H
#define SENDMAIL_NODE_CONTEXT_H

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "SendMailPlugIn.h"

struct SubmitSettings;

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
  /* Secure submission (SubmitSettings.h): loaded with the first group of settings (again at
     the next evaluation when that fails), owned by the context, never changed once loaded. */
  SubmitSettings* submit;
};

#endif
