// The per-instance node context: its attribute table and terminal lists, the four node
// operations the host calls on it through the callback table, and its release.
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "SendMailPlugIn.h"
#include "SubmitSettings.h"
#include "TvlSampPluginUtil.h"
#include "c_memory.h"
#include "node_context.h"
#include "node_schema.h"

namespace {

constexpr std::size_t kAttributeNameUnits = sizeof(AttributeTableEntry::name) / sizeof(CciChar);
constexpr std::size_t kTerminalNameUnits = sizeof(TerminalListEntry::name) / sizeof(CciChar);
constexpr int32_t kAttributeCopyLimit = 256;

std::size_t valueStorageSize(int32_t type) {
  return type == ATTRIBUTE_KIND_STRING ? ATTRIBUTE_STRING_SIZE : 4;
}

// Appends to a list kept as head and tail; the head is null exactly when the tail is.
template <typename Entry>
void append(Entry*& head, Entry*& tail, Entry* entry) {
  if (tail) {
    tail->next = entry;
  } else if (!head) {
    head = entry;
  }
  tail = entry;
}

template <typename Entry>
Entry* findByName(Entry* entry, const CciChar* name) {
  for (; entry; entry = entry->next) {
    if (CciCharCmp(entry->name, name) == 0) return entry;
  }
  return nullptr;
}

template <typename Entry>
void freeList(Entry* entry) {
  while (entry) {
    Entry* next = entry->next;
    std::free(entry);
    entry = next;
  }
}

// The name is refused when it does not fit the entry: copying it whole would run past the
// entry's array, and cutting it would make an entry no lookup of the real name finds.
bool fits(const CciChar* name, std::size_t units) {
  return name && static_cast<std::size_t>(CciCharLen(name)) < units;
}

TerminalListEntry* insertTerminal(NodeContext* context, const CciChar* name, bool input) {
  if (!context || !fits(name, kTerminalNameUnits)) return nullptr;
  auto* entry = sm::allocateZeroed<TerminalListEntry>(1);
  if (!entry) return nullptr;
  entry->next = nullptr;
  CciCharCpy(entry->name, name);
  int rc = 0;
  entry->handle = input ? cniCreateInputTerminal(&rc, context->nodeObject, name)
                        : cniCreateOutputTerminal(&rc, context->nodeObject, name);
  if (input) {
    append(context->inputTerminalListHead, context->inputTerminalListTail, entry);
  } else {
    append(context->outputTerminalListHead, context->outputTerminalListTail, entry);
  }
  return entry;
}

NodeContext* asNode(CciContext* context) { return static_cast<NodeContext*>(context); }

// Inserts one entry named by an 8-bit literal; a name that cannot be made is simply missing.
template <typename Insert>
void insertNamed(const char* name, Insert insert) {
  sm::MallocPtr<CciChar> copy(CciString(name));
  if (copy) insert(copy.get());
}

}  // namespace

SM_EXTERN_C_BEGIN

CciContext* createNodeContext(CciFactory* /*factory*/, const CciChar* nodeName, CciNode* nodeObject) {
  // Value-initialised: every field starts at zero before the two defaults are set.
  auto* context = new (std::nothrow) NodeContext();
  if (!context) return nullptr;
  context->serverPort = 25;
  context->priority = 3;
  context->nodeObject = nodeObject;
  if (nodeName) CciCharNCpy(context->nodeName, nodeName, 128);

  if (!nodeName || !constPlugInNode || CciCharCmp(nodeName, constPlugInNode) != 0) return context;

  // The attributes in index order, all strings.
  for (const schema::AttributeRow& attribute : schema::kAttributes) {
    insertNamed(attribute.name, [&](const CciChar* n) { insertAttributeTableEntry(context, n, ATTRIBUTE_KIND_STRING); });
  }
  insertNamed(schema::kInputTerminal, [&](const CciChar* n) { insertInputTerminalListEntry(context, n); });
  insertNamed(schema::kOutTerminal, [&](const CciChar* n) { insertOutputTerminalListEntry(context, n); });
  insertNamed(schema::kFailureTerminal, [&](const CciChar* n) { insertOutputTerminalListEntry(context, n); });
  return context;
}

void deleteNodeContext(CciContext* handle) {
  NodeContext* context = asNode(handle);
  if (!context) return;
  // Each attribute entry carries its value storage in the same block.
  freeList(context->attributeTableHead);
  freeList(context->inputTerminalListHead);
  freeList(context->outputTerminalListHead);
  if (context->fromAddress != context->smtpFrom) std::free(context->fromAddress);
  std::free(context->serverName);
  std::free(context->smtpFrom);
  std::free(context->smtpFullFrom);
  std::free(context->bcc);
  delete context->submit;
  delete context;
}

AttributeTableEntry* insertAttributeTableEntry(NodeContext* context, const CciChar* name, int32_t type) {
  if (!context || !fits(name, kAttributeNameUnits)) return nullptr;
  // Entry and value storage in one zero-filled block: the storage cannot fail on its own,
  // and one free releases both.
  const std::size_t size = sizeof(AttributeTableEntry) + valueStorageSize(type);
  auto* block = sm::allocateZeroed<unsigned char>(size);
  if (!block) return nullptr;
  auto* entry = reinterpret_cast<AttributeTableEntry*>(block);
  entry->next = nullptr;
  entry->type = type;
  entry->value = block + sizeof(AttributeTableEntry);
  CciCharCpy(entry->name, name);
  append(context->attributeTableHead, context->attributeTableTail, entry);
  return entry;
}

TerminalListEntry* insertInputTerminalListEntry(NodeContext* context, const CciChar* name) {
  return insertTerminal(context, name, true);
}

TerminalListEntry* insertOutputTerminalListEntry(NodeContext* context, const CciChar* name) {
  return insertTerminal(context, name, false);
}

CciTerminal* getInputTerminalHandle(NodeContext* context, const CciChar* name) {
  if (!context || !name) return nullptr;
  TerminalListEntry* entry = findByName(context->inputTerminalListHead, name);
  return entry ? entry->handle : nullptr;
}

CciTerminal* getOutputTerminalHandle(NodeContext* context, const CciChar* name) {
  if (!context || !name) return nullptr;
  TerminalListEntry* entry = findByName(context->outputTerminalListHead, name);
  return entry ? entry->handle : nullptr;
}

int getAttributeName(CciContext* handle, int32_t index, CciChar* buffer, int32_t bufferLength) {
  NodeContext* context = asNode(handle);
  if (!context || index < 0) return 1;
  AttributeTableEntry* entry = context->attributeTableHead;
  for (int32_t position = 0; entry && position < index; ++position) entry = entry->next;
  if (!entry) return 1;
  if (!buffer || bufferLength <= 0) return 0;
  // Within the host's buffer: a name too long for it is cut, and always terminated.
  const int32_t length = CciCharLen(entry->name);
  const int32_t units = length < bufferLength ? length : bufferLength - 1;
  CciCharNCpy(buffer, entry->name, static_cast<unsigned int>(units));
  buffer[units] = 0;
  return 0;
}

int setAttribute(CciContext* handle, const CciChar* name, const CciChar* value) {
  NodeContext* context = asNode(handle);
  if (!context || !name || !value) return 1;
  AttributeTableEntry* entry = findByName(context->attributeTableHead, name);
  if (!entry) return 1;
  sm::MallocPtr<char> text(mbString(value));
  if (!text) return 1;
  switch (entry->type) {
    case ATTRIBUTE_KIND_INTEGER: {
      // atoi's reading, without its undefined overflow: out-of-range numbers are clamped.
      long number = std::strtol(text.get(), nullptr, 10);
      if (number > INT32_MAX) number = INT32_MAX;
      if (number < INT32_MIN) number = INT32_MIN;
      const auto stored = static_cast<int32_t>(number);
      std::memcpy(entry->value, &stored, sizeof stored);
      break;
    }
    case ATTRIBUTE_KIND_STRING: {
      const std::size_t length = std::strlen(text.get());
      // The storage holds 255 bytes and the terminator; a longer value is refused whole
      // rather than cut in the middle of a character, and the old value stays.
      if (length >= ATTRIBUTE_STRING_SIZE) return 1;
      std::memcpy(entry->value, text.get(), length + 1);
      break;
    }
    default:
      break;
  }
  return 0;
}

int getAttribute(CciContext* handle, const CciChar* name, CciChar* buffer, int32_t bufferLength) {
  NodeContext* context = asNode(handle);
  if (!context || !name) return 1;
  AttributeTableEntry* entry = findByName(context->attributeTableHead, name);
  if (!entry) return 1;
  sm::MallocPtr<CciChar> text;
  if (entry->type == ATTRIBUTE_KIND_INTEGER) {
    int32_t number;
    std::memcpy(&number, entry->value, sizeof number);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%" PRId32, number);
    text.reset(CciString(digits));
  } else if (entry->type == ATTRIBUTE_KIND_STRING) {
    text.reset(CciString(static_cast<const char*>(entry->value)));
  } else {
    return 0;
  }
  if (!text) return 1;
  // A negative length is no room at all.
  if (bufferLength <= 0 || !buffer) return 0;
  const int32_t count = bufferLength < kAttributeCopyLimit ? bufferLength : kAttributeCopyLimit;
  CciCharNCpy(buffer, text.get(), static_cast<unsigned int>(count));
  return 0;
}

SM_EXTERN_C_END
