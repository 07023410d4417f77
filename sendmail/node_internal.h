// The node frame's hidden C++ layer: the node context's full definition (its lock state is
// C++, so it stays out of the exported C header), and the helpers behind the exported string
// functions. Nothing declared here is exported.
#ifndef SENDMAIL_NODE_INTERNAL_H
#define SENDMAIL_NODE_INTERNAL_H

#include <stdint.h>

#include <atomic>
#include <cstddef>
#include <mutex>

#include "SendMailPlugIn.h"
#include "node_utils.h"

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

int GetPriorityNumber(const CciChar* text);
const char* getErrorString(int code);

// Both allocate a zero-filled block, convert into it through the host's converter and terminate
// it in its last element, so that a converter that fails leaves the empty text rather than
// uninitialised memory; null when the block cannot be had.
// `s` as CciChar units, in `units` units, the converter writing at most `limit` of them.
CciChar* convertToUnits(const char* s, std::size_t units, std::size_t limit);
// `s` as UTF-8 text in `bytes` bytes.
char* convertToUtf8(const CciChar* s, std::size_t bytes);

// Bytes of UTF-8 that always hold `units` UTF-16 units, terminator included: a BMP character
// takes at most three bytes for its one unit, a surrogate pair four for its two, and U+FFFD
// (what a lone surrogate becomes) three for one.
constexpr std::size_t utf8Room(std::size_t units) { return 3 * units + 1; }

// Grows the buffer's storage to hold at least `n` more bytes (ends the process when it cannot).
void NodeStringBufferResize(NodeStringBuffer* buffer, uint32_t n);

#endif
