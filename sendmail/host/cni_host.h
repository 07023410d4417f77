/* The host broker's node interface as this node uses it: the opaque handles, the records
   that cross the boundary, the callback table the node registers, and the host operations
   the node imports. Declared here, apart from the node's own code, so that any host (the
   broker, or the in-memory substitute that tests and the runner use) can stand behind it. */
#ifndef SENDMAIL_HOST_CNI_HOST_H
#define SENDMAIL_HOST_CNI_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One UTF-16 code unit; host strings are arrays of them ended by a 0 unit. */
typedef uint16_t CciChar;

/* Opaque host handles: the node never looks inside them. */
typedef struct CciFactory CciFactory;
typedef struct CciNode CciNode;
typedef struct CciTerminal CciTerminal;
typedef struct CciMessage CciMessage;
typedef struct CciMessageContext CciMessageContext;
typedef struct CciElement CciElement;
/* The node's per-instance record; opaque to the host, which only passes it back. */
typedef void CciContext;

/* Return codes written through the first argument of every host operation. */
enum {
  CCI_SUCCESS = 0,
  CCI_BUFFER_TOO_SMALL = 22,
  CCI_EXCEPTION = 64
};

/* Code page of the 8-bit side of every conversion: UTF-8. */
enum { CCI_CODEPAGE_UTF8 = 1208 };

/* Element types the node gives the elements it adds to a failure message. */
enum {
  CCI_ELEMENT_TYPE_NAME = 0x01000000,
  CCI_ELEMENT_TYPE_VALUE = 0x02000000
};

/* Log entry types for cciLog. */
enum {
  CCI_LOG_ERROR = 0,
  CCI_LOG_WARNING = 1,
  CCI_LOG_INFORMATION = 2
};

/* A date value, returned by value. */
typedef struct HostDate {
  int32_t year;
  int32_t month; /* 1 to 12 */
  int32_t day;
} HostDate;

/* A GMT time value, returned by value. */
typedef struct HostTime {
  int32_t hour;
  int32_t minute;
  float seconds;
} HostTime;

/* A caller's buffer for a byte-array value: the host copies the bytes into it. On a
   64-bit platform the pointer makes the record 16 bytes, padding included. */
typedef struct HostByteArray {
  uint8_t* pointer;
  int32_t size;
} HostByteArray;

/* The host's record of its last exception. The node only clears it and passes its address. */
#define CCI_EXCEPTION_DATA_SIZE 576
typedef struct CciExceptionData {
  int32_t type;
  int32_t line;
  char file[64];
  char text[504];
} CciExceptionData;

/* The node operations the host reaches through the table handed to cniDefineNodeClass.
   The host finds each operation by its slot, so the order is fixed. */
typedef struct NodeCallbackTable {
  CciContext* (*createNodeContext)(CciFactory* factory, const CciChar* nodeName, CciNode* nodeObject);
  void (*reserved)(CciContext* context); /* always null: the node registers no release operation */
  int (*getAttributeName)(CciContext* context, int32_t index, CciChar* buffer, int32_t bufferLength);
  int (*setAttribute)(CciContext* context, const CciChar* name, const CciChar* value);
  int (*getAttribute)(CciContext* context, const CciChar* name, CciChar* buffer, int32_t bufferLength);
  void (*evaluate)(CciContext* context, CciMessage* companionA, CciMessage* companionB, CciMessage* input);
} NodeCallbackTable;

/* ---- Host operations. Each takes the caller's return-code location first; it may be null
   where the caller ignores the code. 0 success, 22 buffer too small, 64 exception raised. ---- */

CciFactory* cniCreateNodeFactory(int* rc, const CciChar* factoryName);
void cniDefineNodeClass(int* rc, CciFactory* factory, const CciChar* className, NodeCallbackTable* table);

/* The name is copied by the host. */
CciTerminal* cniCreateInputTerminal(int* rc, CciNode* node, const CciChar* name);
CciTerminal* cniCreateOutputTerminal(int* rc, CciNode* node, const CciChar* name);
int cniIsTerminalAttached(int* rc, CciTerminal* terminal);
int cniPropagate(int* rc, CciTerminal* terminal, CciMessage* companionA, CciMessage* companionB, CciMessage* message);

CciElement* cniRootElement(int* rc, CciMessage* message);
CciElement* cniFirstChild(int* rc, CciElement* element);
CciElement* cniLastChild(int* rc, CciElement* element);
CciElement* cniNextSibling(int* rc, CciElement* element);

/* Writes the name, terminated, within `length` units (cut short when it does not fit).
   Returns the name's length in units. */
int cniElementName(int* rc, CciElement* element, CciChar* buffer, int length);
/* Writes the value, terminated, within `length` units. When it does not fit, *rc is 22 and
   the result is the length needed in units, terminator included. */
int cniElementCharacterValue(int* rc, CciElement* element, CciChar* buffer, int length);
/* Copies the bytes into value->pointer, at most value->size of them; returns the value's length. */
int cniElementByteArrayValue(int* rc, CciElement* element, HostByteArray* value);
HostDate cniElementDateValue(int* rc, CciElement* element);
HostTime cniElementGmtTimeValue(int* rc, CciElement* element);

CciMessageContext* cniGetMessageContext(int* rc, CciMessage* message);
CciMessage* cniCreateMessage(int* rc, CciMessageContext* context);
void cniDeleteMessage(int* rc, CciMessage* message);
/* Copies the children of `source`, with everything below them, as new last children of `target`. */
void cniCopyElementTree(int* rc, CciElement* source, CciElement* target);
CciElement* cniCreateElementAsLastChild(int* rc, CciElement* parent);
void cniSetElementType(int* rc, CciElement* element, int type);
void cniSetElementName(int* rc, CciElement* element, const CciChar* name);
/* `length` counts units and excludes the terminator. */
void cniSetElementCharacterValue(int* rc, CciElement* element, const CciChar* value, int length);

/* Converters between 8-bit text in `codePage` and CciChar strings. Each converts its terminated
   input, writes at most `outputLimit` units (bytes for cciUcsToMbs), terminator included, ends
   the output with a terminator when the limit leaves room for it, and never splits a character.
   Returns the length the whole conversion needs, terminator excluded; *rc is 22 when it was cut. */
int cciMbsToUcs(int* rc, const char* input, CciChar* output, int outputLimit, int codePage);
int cciUcsToMbs(int* rc, const CciChar* input, char* output, int outputLimit, int codePage);

/* One log entry. `traceText` is the first of the 8-bit inserts; the list ends with a null pointer. */
void cciLog(int* rc, int type, const char* sourceFile, int line, const char* text,
            const CciChar* messageSource, int messageNumber, const char* traceText, ...);

void cciGetLastExceptionData(int* rc, CciExceptionData* data);
void cciRethrowLastException(int* rc);

#ifdef __cplusplus
}
#endif

#endif
