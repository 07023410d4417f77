// The host operations of cni_host.h over the in-memory objects: factories and classes,
// terminals and propagation, tree navigation and values, message creation and copying, the
// log and the pending exception. Each opens with a Call (count, record, injected fault).
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <exception>

#include "host_impl.h"

using memhost::Call;
using memhost::Element;
using memhost::Host;
using memhost::Message;
using memhost::Node;
using memhost::Op;
using memhost::Terminal;
using memhost::ValueKind;

namespace {

using memhost::fromCci;

Host::Impl& impl() { return Host::instance().impl(); }

// Shared by the three navigation operations.
CciElement* navigate(Op op, int* rc, CciElement* element, Element* (Element::*step)() const) {
  Call call(op, rc);
  if (!call.proceeds(element != nullptr)) return nullptr;
  Element* next = (Element::fromHandle(element)->*step)();
  return next ? next->handle() : nullptr;
}

CciTerminal* createTerminal(Op op, int* rc, CciNode* node, const CciChar* name, bool input) {
  Call call(op, rc);
  if (!call.proceeds(node && name)) return nullptr;
  return Node::fromHandle(node)->addTerminal(fromCci(name), input)->handle();
}

// Opens an operation on one element: null when it faulted or the handle is null.
Element* elementFor(Call& call, CciElement* element) {
  return call.proceeds(element != nullptr) ? Element::fromHandle(element) : nullptr;
}

// Opens a typed value read: null when it faulted, the handle is null or the kind differs.
Element* valueElementFor(Call& call, CciElement* element, ValueKind kind) {
  Element* e = elementFor(call, element);
  if (e && e->kind() != kind) {
    call.fail(memhost::kRcWrongValueKind);
    return nullptr;
  }
  return e;
}

}  // namespace

extern "C" {

CciFactory* cniCreateNodeFactory(int* rc, const CciChar* factoryName) {
  Call call(Op::cniCreateNodeFactory, rc);
  if (!call.proceeds(factoryName != nullptr)) return nullptr;
  auto factory = std::make_unique<memhost::Factory>();
  factory->name = fromCci(factoryName);
  std::lock_guard lock(impl().mutex);
  impl().factories.push_back(std::move(factory));
  return impl().factories.back()->handle();
}

void cniDefineNodeClass(int* rc, CciFactory* factory, const CciChar* className, NodeCallbackTable* table) {
  Call call(Op::cniDefineNodeClass, rc);
  if (!call.proceeds(className && table && impl().knownFactory(factory))) return;
  std::u16string factoryName = reinterpret_cast<memhost::Factory*>(factory)->name;
  Host::instance().defineClass(factory, std::move(factoryName), fromCci(className), table);
}

CciTerminal* cniCreateInputTerminal(int* rc, CciNode* node, const CciChar* name) {
  return createTerminal(Op::cniCreateInputTerminal, rc, node, name, true);
}

CciTerminal* cniCreateOutputTerminal(int* rc, CciNode* node, const CciChar* name) {
  return createTerminal(Op::cniCreateOutputTerminal, rc, node, name, false);
}

int cniIsTerminalAttached(int* rc, CciTerminal* terminal) {
  Call call(Op::cniIsTerminalAttached, rc);
  if (!call.proceeds(terminal != nullptr)) return 0;
  return Terminal::fromHandle(terminal)->attached() ? 1 : 0;
}

int cniPropagate(int* rc, CciTerminal* terminal, CciMessage* companionA, CciMessage* companionB,
                 CciMessage* message) {
  Call call(Op::cniPropagate, rc);
  Terminal* t = Terminal::fromHandle(terminal);
  if (!call.proceeds(t && message && !t->isInput())) return 0;
  if (!t->attached()) return 0;  // nothing downstream: dropped, and that is no error
  int code;
  try {
    code = t->propagate(*Message::fromHandle(message), companionA, companionB);
  } catch (const std::exception& e) {
    impl().raise(e.what());
    code = CCI_EXCEPTION;
  }
  call.fail(code);
  return code == 0 ? 1 : 0;
}

CciElement* cniRootElement(int* rc, CciMessage* message) {
  Call call(Op::cniRootElement, rc);
  if (!call.proceeds(message != nullptr)) return nullptr;
  return Message::fromHandle(message)->root().handle();
}

CciElement* cniFirstChild(int* rc, CciElement* element) {
  return navigate(Op::cniFirstChild, rc, element, &Element::firstChild);
}

CciElement* cniLastChild(int* rc, CciElement* element) {
  return navigate(Op::cniLastChild, rc, element, &Element::lastChild);
}

CciElement* cniNextSibling(int* rc, CciElement* element) {
  return navigate(Op::cniNextSibling, rc, element, &Element::nextSibling);
}

int cniElementName(int* rc, CciElement* element, CciChar* buffer, int length) {
  Call call(Op::cniElementName, rc);
  Element* e = elementFor(call, element);
  if (!e) return 0;
  const std::u16string& name = e->name();
  if (buffer && length > 0) {
    const std::size_t n = std::min(name.size(), static_cast<std::size_t>(length - 1));
    for (std::size_t i = 0; i < n; ++i) buffer[i] = name[i];
    buffer[n] = 0;
  }
  return static_cast<int>(name.size());
}

int cniElementCharacterValue(int* rc, CciElement* element, CciChar* buffer, int length) {
  Call call(Op::cniElementCharacterValue, rc);
  Element* e = elementFor(call, element);
  if (!e) return 0;
  if (e->kind() != ValueKind::Character && e->kind() != ValueKind::None) {
    call.fail(memhost::kRcWrongValueKind);
    return 0;
  }
  // An element without a value (a folder) reads as the empty text.
  const std::u16string& value = e->characterValue();
  if (!buffer || length < 0 || value.size() + 1 > static_cast<std::size_t>(length)) {
    if (buffer && length > 0) buffer[0] = 0;
    call.fail(CCI_BUFFER_TOO_SMALL);
    return static_cast<int>(value.size() + 1);
  }
  static_assert(sizeof(CciChar) == sizeof(char16_t));
  std::memcpy(buffer, value.data(), value.size() * sizeof(CciChar));
  buffer[value.size()] = 0;
  return static_cast<int>(value.size());
}

int cniElementByteArrayValue(int* rc, CciElement* element, HostByteArray* value) {
  Call call(Op::cniElementByteArrayValue, rc);
  if (!call.proceeds(value != nullptr)) return 0;
  Element* e = valueElementFor(call, element, ValueKind::ByteArray);
  if (!e) return 0;
  const auto& bytes = e->bytes();
  const std::size_t room = value->pointer && value->size > 0 ? static_cast<std::size_t>(value->size) : 0;
  const std::size_t n = std::min(bytes.size(), room);
  if (n > 0) std::memcpy(value->pointer, bytes.data(), n);
  if (n < bytes.size()) call.fail(CCI_BUFFER_TOO_SMALL);
  return static_cast<int>(bytes.size());
}

HostDate cniElementDateValue(int* rc, CciElement* element) {
  Call call(Op::cniElementDateValue, rc);
  Element* e = valueElementFor(call, element, ValueKind::Date);
  return e ? e->date() : HostDate{};
}

HostTime cniElementGmtTimeValue(int* rc, CciElement* element) {
  Call call(Op::cniElementGmtTimeValue, rc);
  Element* e = valueElementFor(call, element, ValueKind::GmtTime);
  return e ? e->time() : HostTime{};
}

CciMessageContext* cniGetMessageContext(int* rc, CciMessage* message) {
  Call call(Op::cniGetMessageContext, rc);
  if (!call.proceeds(message != nullptr)) return nullptr;
  return Message::fromHandle(message)->context()->handle();
}

CciMessage* cniCreateMessage(int* rc, CciMessageContext* context) {
  Call call(Op::cniCreateMessage, rc);
  if (!call.proceeds(context != nullptr)) return nullptr;
  auto message = std::make_unique<Message>(reinterpret_cast<memhost::MessageContext*>(context));
  Message* raw = message.get();
  std::lock_guard lock(impl().mutex);
  impl().created.emplace(raw, std::move(message));
  return raw->handle();
}

void cniDeleteMessage(int* rc, CciMessage* message) {
  Call call(Op::cniDeleteMessage, rc);
  if (call.faulted()) return;
  std::unique_ptr<Message> doomed;  // destroyed after the lock is released
  {
    std::lock_guard lock(impl().mutex);
    const auto it = impl().created.find(Message::fromHandle(message));
    if (it != impl().created.end()) {
      doomed = std::move(it->second);
      impl().created.erase(it);
    }
  }
  if (!doomed) call.fail(message ? memhost::kRcNotCreatedHere : memhost::kRcInvalidHandle);
}

void cniCopyElementTree(int* rc, CciElement* source, CciElement* target) {
  Call call(Op::cniCopyElementTree, rc);
  Element* from = elementFor(call, source);
  if (!from || !call.proceeds(target != nullptr)) return;
  from->copyChildrenTo(*Element::fromHandle(target));
}

CciElement* cniCreateElementAsLastChild(int* rc, CciElement* parent) {
  Call call(Op::cniCreateElementAsLastChild, rc);
  Element* e = elementFor(call, parent);
  return e ? e->addChild({}).handle() : nullptr;
}

void cniSetElementType(int* rc, CciElement* element, int type) {
  Call call(Op::cniSetElementType, rc);
  if (Element* e = elementFor(call, element)) e->setType(type);
}

void cniSetElementName(int* rc, CciElement* element, const CciChar* name) {
  Call call(Op::cniSetElementName, rc);
  Element* e = elementFor(call, element);
  if (!e || !call.proceeds(name != nullptr)) return;
  e->setName(fromCci(name));
}

void cniSetElementCharacterValue(int* rc, CciElement* element, const CciChar* value, int length) {
  Call call(Op::cniSetElementCharacterValue, rc);
  Element* e = elementFor(call, element);
  if (!e || !call.proceeds(length >= 0 && (value || length == 0))) return;
  e->setCharacterValue(fromCci(value, static_cast<std::size_t>(length)));
}

void cciLog(int* rc, int type, const char* sourceFile, int line, const char* text,
            const CciChar* messageSource, int messageNumber, const char* traceText, ...) {
  Call call(Op::cciLog, rc);
  if (call.faulted()) return;
  memhost::LogEntry entry;
  entry.type = type;
  entry.sourceFile = sourceFile ? sourceFile : "";
  entry.line = line;
  entry.text = text ? text : "";
  if (messageSource) entry.messageSource = fromCci(messageSource);
  entry.messageNumber = messageNumber;
  if (traceText) {
    entry.inserts.emplace_back(traceText);
    va_list inserts;
    va_start(inserts, traceText);
    // Bounded: a caller that forgets the closing null pointer must not walk the stack forever.
    for (int i = 0; i < 64; ++i) {
      const char* insert = va_arg(inserts, const char*);
      if (!insert) break;
      entry.inserts.emplace_back(insert);
    }
    va_end(inserts);
  }
  std::shared_ptr<const std::function<void(const memhost::LogEntry&)>> sink;
  {
    std::lock_guard lock(impl().mutex);
    if (!impl().logSink) {
      impl().log.push_back(std::move(entry));
      return;
    }
    sink = impl().logSink;
  }
  (*sink)(entry);
}

void cciGetLastExceptionData(int* rc, CciExceptionData* data) {
  Call call(Op::cciGetLastExceptionData, rc);
  if (!call.proceeds(data != nullptr)) return;
  std::memset(data, 0, sizeof *data);
  std::lock_guard lock(impl().mutex);
  if (impl().exceptionPending) *data = impl().pendingException;
}

void cciRethrowLastException(int* rc) {
  Call call(Op::cciRethrowLastException, rc);
  if (call.faulted()) return;
  // This host cannot unwind into a caller: it records the rethrow and returns.
  std::lock_guard lock(impl().mutex);
  ++impl().rethrows;
  impl().exceptionPending = false;
}

}  // extern "C"
