// The library's way in: the entry point the host calls by name, the node constants it
// builds, and the one callback table it registers for the class "SendMailPlugInNode".
#include "SendMailPlugIn.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "TvlSampPluginUtil.h"
#include "node_schema.h"

SM_EXTERN_C_BEGIN

SM_NODE_API CciChar* constTalvaneLarnet2 = nullptr;
SM_NODE_API CciChar* constPlugInNode = nullptr;
SM_NODE_API CciChar* constPluginNodeFactory = nullptr;
SM_NODE_API CciChar* constOut = nullptr;
SM_NODE_API CciChar* constFailure = nullptr;
SM_NODE_API CciChar* constYes = nullptr;
SM_NODE_API CciChar* constTVMD = nullptr;
SM_NODE_API CciChar* constPutDate = nullptr;
SM_NODE_API CciChar* constPutTime = nullptr;
SM_NODE_API CciChar* constMsgId = nullptr;
SM_NODE_API CciChar* constFrom = nullptr;
SM_NODE_API CciChar* constMailFrom = nullptr;
SM_NODE_API CciChar* constTo = nullptr;
SM_NODE_API CciChar* constMailTo = nullptr;
SM_NODE_API CciChar* constCc = nullptr;
SM_NODE_API CciChar* constMailCc = nullptr;
SM_NODE_API CciChar* constBcc = nullptr;
SM_NODE_API CciChar* constMailBcc = nullptr;
SM_NODE_API CciChar* constSubject = nullptr;
SM_NODE_API CciChar* constMailSubject = nullptr;
SM_NODE_API CciChar* constBody = nullptr;
SM_NODE_API CciChar* constMailBody = nullptr;
SM_NODE_API CciChar* constHighest = nullptr;
SM_NODE_API CciChar* constHigh = nullptr;
SM_NODE_API CciChar* constNormal = nullptr;
SM_NODE_API CciChar* constLow = nullptr;
SM_NODE_API CciChar* constLowest = nullptr;
SM_NODE_API CciChar* constSendMailError = nullptr;

SM_EXTERN_C_END

static_assert(sizeof(CciExceptionData) == CCI_EXCEPTION_DATA_SIZE, "the host's exception record");

namespace {

struct ConstantRow {
  CciChar** global;
  const char* literal;
};

using schema::Field;
using schema::kPriorityNames;
using schema::row;

// In the order they are built; the names the node shares with the host and the runner come
// from its schema.
constexpr ConstantRow kConstants[] = {
    {&constTalvaneLarnet2, "TVLNv201"},
    {&constPlugInNode, "SendMailPlugInNode"},
    {&constPluginNodeFactory, "SendMailPlugInNodeFactory"},
    {&constOut, schema::kOutTerminal},
    {&constFailure, schema::kFailureTerminal},
    {&constYes, "yes"},
    {&constTVMD, schema::kDescriptorFolder},
    {&constPutDate, schema::kPutDate},
    {&constPutTime, schema::kPutTime},
    {&constMsgId, schema::kMsgId},
    {&constFrom, row(Field::From).name},
    {&constMailFrom, row(Field::From).mailName},
    {&constTo, row(Field::To).name},
    {&constMailTo, row(Field::To).mailName},
    {&constCc, row(Field::Cc).name},
    {&constMailCc, row(Field::Cc).mailName},
    {&constBcc, row(Field::Bcc).name},
    {&constMailBcc, row(Field::Bcc).mailName},
    {&constSubject, row(Field::Subject).name},
    {&constMailSubject, row(Field::Subject).mailName},
    {&constBody, row(Field::Body).name},
    {&constMailBody, row(Field::Body).mailName},
    {&constHighest, kPriorityNames[0]},
    {&constHigh, kPriorityNames[1]},
    {&constNormal, kPriorityNames[2]},
    {&constLow, kPriorityNames[3]},
    {&constLowest, kPriorityNames[4]},
    {&constSendMailError, schema::kErrorElement},
};
constexpr std::size_t kConstantCount = sizeof kConstants / sizeof kConstants[0];

// The one set of constants, built by the first call that can allocate it all and kept for as
// long as the library is loaded (a node may hold any of its strings). Later calls of the
// entry point find it built: a host that calls the entry point again costs no memory.
struct ConstantSet {
  CciChar* strings[kConstantCount] = {};
  ~ConstantSet() {
    for (CciChar* s : strings) std::free(s);
  }
};
ConstantSet* constantSet = nullptr;
std::mutex constantsLock;

// The host keeps a pointer to it: static storage, never on the stack, never freed.
NodeCallbackTable callbackTable;

bool constantsReady() {
  for (const ConstantRow& row : kConstants) {
    if (!*row.global) return false;
  }
  return true;
}

}  // namespace

SM_EXTERN_C_BEGIN

void initNodeConstants(void) {
  // A set is published whole or not at all: if any string cannot be allocated nothing is
  // published, and the next call tries again.
  try {
    std::lock_guard lock(constantsLock);
    if (constantSet) return;
    auto set = std::unique_ptr<ConstantSet>(new (std::nothrow) ConstantSet);
    if (!set) return;
    for (std::size_t i = 0; i < kConstantCount; ++i) {
      set->strings[i] = CciString(kConstants[i].literal);
      if (!set->strings[i]) return;
    }
    for (std::size_t i = 0; i < kConstantCount; ++i) *kConstants[i].global = set->strings[i];
    constantSet = set.release();
  } catch (...) {
  }
}

CciFactory* tvlGetMessageflowNodeFactory(void) {
  int rc = 0;
  initNodeConstants();
  // Without a complete set of constants the node could not compare a single name: define
  // nothing, and let the host report that the library gave no factory.
  if (!constantsReady()) return nullptr;

  CciFactory* factory = cniCreateNodeFactory(&rc, constPluginNodeFactory);
  if (factory) {
    std::memset(&callbackTable, 0, sizeof callbackTable);
    callbackTable.createNodeContext = createNodeContext;
    callbackTable.getAttributeName = getAttributeName;
    callbackTable.setAttribute = setAttribute;
    callbackTable.getAttribute = getAttribute;
    callbackTable.evaluate = evaluate;
    cniDefineNodeClass(nullptr, factory, constPlugInNode, &callbackTable);
  } else if (rc == CCI_EXCEPTION) {
    CciExceptionData exception;
    std::memset(&exception, 0, sizeof exception);
    cciGetLastExceptionData(&rc, &exception);
    cciRethrowLastException(&rc);
  }
  return factory;
}

SM_EXTERN_C_END
