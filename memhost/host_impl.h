// Inside of the in-memory host, shared by its source files: the operation table, the per-call
// gate that counts, records and injects faults, and the host's mutable state (factories,
// created messages, log, pending exception). Not part of the host's public API.
#ifndef MEMHOST_HOST_IMPL_H
#define MEMHOST_HOST_IMPL_H

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "memhost.h"

namespace memhost {

// Every host operation, in the order of cni_host.h: written once here, expanded into the
// enum below and into Host::operationNames().
#define MEMHOST_OPERATIONS(X) \
  X(cniCreateNodeFactory) \
  X(cniDefineNodeClass) \
  X(cniCreateInputTerminal) \
  X(cniCreateOutputTerminal) \
  X(cniIsTerminalAttached) \
  X(cniPropagate) \
  X(cniRootElement) \
  X(cniFirstChild) \
  X(cniLastChild) \
  X(cniNextSibling) \
  X(cniElementName) \
  X(cniElementCharacterValue) \
  X(cniElementByteArrayValue) \
  X(cniElementDateValue) \
  X(cniElementGmtTimeValue) \
  X(cniGetMessageContext) \
  X(cniCreateMessage) \
  X(cniDeleteMessage) \
  X(cniCopyElementTree) \
  X(cniCreateElementAsLastChild) \
  X(cniSetElementType) \
  X(cniSetElementName) \
  X(cniSetElementCharacterValue) \
  X(cciMbsToUcs) \
  X(cciUcsToMbs) \
  X(cciLog) \
  X(cciGetLastExceptionData) \
  X(cciRethrowLastException)

#define MEMHOST_OP_ENUM(name) name,
enum class Op : std::size_t { MEMHOST_OPERATIONS(MEMHOST_OP_ENUM) count };
#undef MEMHOST_OP_ENUM
constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::count);

// Host strings (CciChar, 0-terminated) and the host's own UTF-16 strings.
struct Factory {
  std::u16string name;
  CciFactory* handle() { return reinterpret_cast<CciFactory*>(this); }
};

struct Fault {
  Op op;
  unsigned callNumber;  // absolute call count of `op` at which it fires
  int code;
  FaultMode mode;
};

// What the gate decided for one call: no fault (code 0), or a code and when it applies.
struct Injected {
  int code = 0;
  FaultMode mode = FaultMode::Instead;
};

struct Host::Impl {
  // Hot path: read without the lock. Counters are per operation, each on its own cache line
  // so that threads calling different operations do not contend.
  struct alignas(64) Counter {
    std::atomic<unsigned> value{0};
  };
  std::array<Counter, kOpCount> counts;
  std::atomic<bool> faultsArmed{false};
  std::atomic<bool> recording{false};

  // Everything below is guarded by `mutex`.
  mutable std::mutex mutex;
  std::vector<Fault> faults;
  std::vector<HostCall> calls;
  std::vector<LogEntry> log;
  std::shared_ptr<const std::function<void(const LogEntry&)>> logSink;
  bool exceptionPending = false;
  CciExceptionData pendingException{};
  std::size_t rethrows = 0;
  std::vector<std::unique_ptr<Factory>> factories;
  std::unordered_map<Message*, std::unique_ptr<Message>> created;
  std::function<void(CciContext*)> releaser;

  // Counts the call, records it when recording is on, and returns the fault armed for this
  // call, if any.
  Injected enter(Op op, int* rc);
  // Makes `text` the pending host exception.
  void raise(const std::string& text);
  bool knownFactory(CciFactory* factory) const;
  void clearState(bool keepFactories);
};

// Opens every host operation: counts and records the call and sets *rc to 0, or to the
// injected code, in which case the operation returns at once without doing its work.
class Call {
 public:
  Call(Op op, int* rc) : rc_(rc), injected_(Host::instance().impl().enter(op, rc)) {
    if (rc_) *rc_ = faulted() ? injected_.code : 0;
  }
  // A fault armed to apply after the work overrides whatever the operation set.
  ~Call() {
    if (rc_ && injected_.code != 0 && injected_.mode == FaultMode::AfterWork) *rc_ = injected_.code;
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  bool faulted() const { return injected_.code != 0 && injected_.mode == FaultMode::Instead; }
  // Reports a failure found by the operation itself (bad handle, wrong kind, short buffer).
  void fail(int code) {
    if (rc_) *rc_ = code;
  }
  // Whether the operation goes on to its work: not when a fault was injected in its place, nor
  // when a handle or pointer it needs is missing (`handlesGiven` false), which it reports.
  bool proceeds(bool handlesGiven = true) {
    if (faulted()) return false;
    if (!handlesGiven) fail(kRcInvalidHandle);
    return handlesGiven;
  }

 private:
  int* rc_;
  Injected injected_;
};

}  // namespace memhost

#endif
