// The in-memory host: stands behind every host operation of sendmail/host/cni_host.h so that
// the plug-in runs without a broker. Message trees live in memory; factories, node classes,
// nodes and terminals are recorded; log entries and propagations are kept for inspection;
// and any host operation can be made to fail on its Nth call (fault injection).
#ifndef MEMHOST_MEMHOST_H
#define MEMHOST_MEMHOST_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cni_host.h"

namespace memhost {

// UTF-8 <-> UTF-16, the same conversion the host's converters do (ill-formed input becomes U+FFFD).
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);
// CciChar strings: the units of a terminated one (or of its first `length`), and a terminated
// one made from UTF-16.
inline std::size_t unitLength(const CciChar* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}
inline std::u16string fromCci(const CciChar* s, std::size_t length) {
  static_assert(sizeof(CciChar) == sizeof(char16_t));
  return std::u16string(reinterpret_cast<const char16_t*>(s), length);
}
inline std::u16string fromCci(const CciChar* s) { return fromCci(s, unitLength(s)); }
inline std::vector<CciChar> toCci(std::u16string_view s) {
  std::vector<CciChar> out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

enum class ValueKind { None, Character, Date, GmtTime, ByteArray };

// Return codes of this host beyond the shared 0 / 22 / 64.
constexpr int kRcInvalidHandle = 2;        // a null or unknown handle or pointer argument
constexpr int kRcWrongValueKind = 3;       // a value read of an element holding another kind
constexpr int kRcUnsupportedCodePage = 4;  // a converter asked for a code page other than 1208
constexpr int kRcNotCreatedHere = 5;       // cniDeleteMessage of a message cniCreateMessage did not make

// Element types a host would give: a folder/name element and a value element.
constexpr int kTypeName = CCI_ELEMENT_TYPE_NAME;
constexpr int kTypeValue = CCI_ELEMENT_TYPE_VALUE;
constexpr int kTypeNameValue = CCI_ELEMENT_TYPE_NAME | CCI_ELEMENT_TYPE_VALUE;

class Message;

// One node of a message tree. Children are owned; elements are only ever appended. A character
// value is shared, read-only, between an element and its copies.
class Element {
 public:
  explicit Element(Message* owner, Element* parent = nullptr);
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  CciElement* handle() { return reinterpret_cast<CciElement*>(this); }
  static Element* fromHandle(CciElement* h) { return reinterpret_cast<Element*>(h); }

  const std::u16string& name() const { return name_; }
  std::string nameUtf8() const { return toUtf8(name_); }
  int type() const { return type_; }
  ValueKind kind() const { return kind_; }
  const std::u16string& characterValue() const { return text_ ? *text_ : kNoText; }
  std::string text() const { return toUtf8(characterValue()); }  // the character value as UTF-8
  HostDate date() const { return date_; }
  HostTime time() const { return time_; }
  const std::vector<uint8_t>& bytes() const { return bytes_ ? *bytes_ : kNoBytes; }

  Element* parent() const { return parent_; }
  Message* message() const { return owner_; }
  const std::vector<std::unique_ptr<Element>>& children() const { return children_; }
  Element* firstChild() const;
  Element* lastChild() const;
  Element* nextSibling() const;
  // First child with this name, or null.
  Element* child(std::string_view nameUtf8) const;

  // Every change below (and each child added or copied in) counts in the message's changes().
  void setName(std::u16string name);
  void setName(std::string_view nameUtf8);
  void setType(int type);
  void setCharacterValue(std::u16string value);
  void setText(std::string_view utf8);
  void setDate(HostDate date);
  void setTime(HostTime time);
  void setBytes(std::vector<uint8_t> bytes);

  // Building: each appends a new last child and returns it.
  Element& addChild(std::string_view nameUtf8, int type = kTypeName);
  Element& addText(std::string_view nameUtf8, std::string_view utf8Value);
  Element& addDate(std::string_view nameUtf8, HostDate date);
  Element& addTime(std::string_view nameUtf8, HostTime time);
  Element& addBytes(std::string_view nameUtf8, std::vector<uint8_t> bytes);

  // Deep copy of this element's children (with all below them) appended to `target`.
  void copyChildrenTo(Element& target) const;
  // Deep structural equality: names, types, values and children.
  bool sameTree(const Element& other) const;
  // Readable dump of the subtree, one element per line, for test failure messages.
  std::string dump(int indent = 0) const;

 private:
  Message* owner_;
  Element* parent_;
  std::size_t index_ = 0;  // position among the parent's children
  std::u16string name_;
  int type_ = kTypeName;
  ValueKind kind_ = ValueKind::None;
  // A value never changes in place, so copies of a tree share it: a clone of a message costs
  // no copy of its texts, and one with a large body no second body.
  std::shared_ptr<const std::u16string> text_;
  static const std::u16string kNoText;
  HostDate date_{};
  HostTime time_{};
  // Shared by copies like a character value: an attachment's bytes are held once.
  std::shared_ptr<const std::vector<uint8_t>> bytes_;
  static const std::vector<uint8_t> kNoBytes;
  std::vector<std::unique_ptr<Element>> children_;
};

class MessageContext {
 public:
  CciMessageContext* handle() { return reinterpret_cast<CciMessageContext*>(this); }
};

// A message: a root element and the context it was made in.
class Message {
 public:
  // With no context the message makes its own, shared with its clones.
  explicit Message(MessageContext* context = nullptr);
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  CciMessage* handle() { return reinterpret_cast<CciMessage*>(this); }
  static Message* fromHandle(CciMessage* h) { return reinterpret_cast<Message*>(h); }

  Element& root() { return *root_; }
  const Element& root() const { return *root_; }
  MessageContext* context() const { return context_; }
  std::unique_ptr<Message> clone() const;
  // How often its tree has changed (a name, type or value set, a child added): the runner sends
  // a tree again only while nothing but itself has changed it.
  std::uint64_t changes() const { return changes_; }
  void changed() { ++changes_; }

  // The usual shape of an input message: root -> "Properties", "TVMD", body folder -> top.
  // Returns the top element, whose children are the mail fields.
  Element& makeStandardShape(std::string_view topName = "Mail", std::string_view bodyFolder = "XML");

 private:
  std::shared_ptr<MessageContext> ownedContext_;
  MessageContext* context_;
  std::unique_ptr<Element> root_;
  std::uint64_t changes_ = 0;
};

// What a terminal received in one propagation. `message` is a deep copy taken at the moment
// of propagation (the node deletes its failure message right after), unless a custom sink is set.
struct Propagation {
  std::unique_ptr<Message> message;
  CciMessage* original = nullptr;  // the handle the node passed
  CciMessage* companionA = nullptr;
  CciMessage* companionB = nullptr;
};

class Node;

class Terminal {
 public:
  Terminal(Node* node, std::u16string name, bool input);
  CciTerminal* handle() { return reinterpret_cast<CciTerminal*>(this); }
  static Terminal* fromHandle(CciTerminal* h) { return reinterpret_cast<Terminal*>(h); }

  const std::u16string& name() const { return name_; }
  std::string nameUtf8() const { return toUtf8(name_); }
  bool isInput() const { return input_; }
  Node* node() const { return node_; }

  bool attached() const;
  void setAttached(bool attached);
  // Instead of recording copies, hand each propagated message to `sink`; its result becomes
  // cniPropagate's return code (0 passed on). Used by the runner to write or count messages.
  using Sink = std::function<int(Message& message, CciMessage* companionA, CciMessage* companionB)>;
  void setSink(Sink sink);

  // Recorded propagations (only when no sink is set). Thread-safe.
  std::size_t propagationCount() const;
  std::vector<Propagation> takePropagations();

  // Called by cniPropagate.
  int propagate(Message& message, CciMessage* companionA, CciMessage* companionB);

 private:
  Node* node_;
  std::u16string name_;
  bool input_;
  mutable std::mutex mutex_;
  std::atomic<bool> attached_{true};
  std::atomic<bool> hasSink_{false};
  std::shared_ptr<const Sink> sink_;  // shared so a propagation holds it without the lock
  std::vector<Propagation> propagations_;
};

struct NodeClass {
  CciFactory* factory = nullptr;
  std::u16string factoryName;
  std::u16string className;
  NodeCallbackTable* table = nullptr;
};

// One node instance, made through the registered callback table.
class Node {
 public:
  Node(const NodeClass& nodeClass, std::u16string name);
  ~Node();
  CciNode* handle() { return reinterpret_cast<CciNode*>(this); }
  static Node* fromHandle(CciNode* h) { return reinterpret_cast<Node*>(h); }

  const NodeClass& nodeClass() const { return class_; }
  CciContext* context() const { return context_; }
  void setContext(CciContext* context) { context_ = context; }

  // Terminals the plug-in created for this node (through cniCreate*Terminal), in order.
  Terminal* terminal(std::string_view nameUtf8) const;
  const std::vector<std::unique_ptr<Terminal>>& terminals() const { return terminals_; }
  Terminal* addTerminal(std::u16string name, bool input);

  // Through the callback table.
  int setAttribute(std::string_view name, std::string_view value);
  // Returns false when the node says the name is not known.
  bool getAttribute(std::string_view name, std::string& value) const;
  std::vector<std::string> attributeNames() const;
  // Calls evaluate with the message and the two companion handles (defaults: the node's own).
  void evaluate(Message& message, CciMessage* companionA = nullptr, CciMessage* companionB = nullptr);

  // Companion handles passed to evaluate by default; never looked into by the node.
  CciMessage* defaultCompanionA() { return companionA_.handle(); }
  CciMessage* defaultCompanionB() { return companionB_.handle(); }

 private:
  const NodeClass& class_;
  std::u16string name_;
  CciContext* context_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Terminal>> terminals_;
  Message companionA_;
  Message companionB_;
};

struct LogEntry {
  int type = 0;
  std::string sourceFile;
  int line = 0;
  std::string text;
  std::u16string messageSource;
  int messageNumber = 0;
  std::vector<std::string> inserts;  // the trace text first
};

enum class FaultMode { Instead, AfterWork };

// One host operation call, as recorded when call recording is on.
struct HostCall {
  std::string operation;  // e.g. "cniFirstChild"
  int* rc = nullptr;      // the return-code location the caller passed
};

// The host. One per process: the C operations act on Host::instance().
class Host {
 public:
  static Host& instance();

  // Forgets everything: factories, classes, nodes, created messages, log, pending exception,
  // faults, counters, recorded calls. Must not run while any host operation is in progress.
  void reset();
  // The same, but keeps the factories and classes: a broker loads a library once, so a
  // long run of short cases calls the entry point once and then only makes nodes.
  void resetKeepingClasses();

  // ---- factories and classes the plug-in registered
  const std::vector<std::unique_ptr<NodeClass>>& nodeClasses() const { return classes_; }
  const NodeClass* findClass(std::string_view classNameUtf8) const;
  std::size_t factoryCount() const;

  // Makes a node instance of a registered class through its table's createNodeContext.
  // Returns null when the class is not registered or the table has no createNodeContext.
  Node* createNode(std::string_view classNameUtf8, std::string_view nodeNameUtf8 = "node1");

  // Called for each node's context when reset() destroys the node. The callback table has no
  // release slot, so tests set this to the plug-in's deleteNodeContext to leave nothing
  // allocated. It survives reset(). The host itself lives until the process ends and is
  // never destroyed, so nothing runs at exit (a dlclose'd plug-in is never called back then).
  void setContextReleaser(std::function<void(CciContext*)> releaser);

  // ---- messages
  // A fresh message in a fresh context, owned by the caller.
  std::unique_ptr<Message> newMessage();
  // Messages made by cniCreateMessage and not yet deleted with cniDeleteMessage.
  std::size_t liveCreatedMessages() const;

  // ---- log
  std::vector<LogEntry> logEntries() const;
  void clearLog();
  // Instead of keeping entries, hand each one to `sink` on the thread that logged it (null:
  // keep them again). A long run then holds no log in memory.
  void setLogSink(std::function<void(const LogEntry&)> sink);

  // ---- exceptions
  // Number of cciRethrowLastException calls since reset.
  std::size_t rethrowCount() const;

  // ---- fault injection and call accounting
  // The `nth` call (1-based, counted from now) of `operation` sets *rc to `code` and returns a
  // null/zero result without doing its work (FaultMode::Instead), or does its work and returns
  // its usual result but leaves *rc at `code` (FaultMode::AfterWork). Code 64 also records a
  // pending host exception. Several faults may be armed at once, for the same or different
  // operations. An unknown operation name throws std::invalid_argument.
  void injectFault(std::string_view operation, unsigned nth, int code, FaultMode mode = FaultMode::Instead);
  void clearFaults();
  // Calls of `operation` since reset (counted always).
  unsigned callCount(std::string_view operation) const;
  // Records every host call in order, with the caller's rc pointer, while on. Turning it on
  // forgets the calls recorded before.
  void recordCalls(bool on);
  std::vector<HostCall> calls() const;
  // Names of every host operation the interface declares.
  static const std::vector<std::string>& operationNames();

  // ---- used by the C operations (not for tests)
  // Records a class definition (cniDefineNodeClass); a later one of the same name wins.
  void defineClass(CciFactory* factory, std::u16string factoryName, std::u16string className,
                   NodeCallbackTable* table);
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  Host();
  ~Host();
  void clear(bool keepClasses);
  std::unique_ptr<Impl> impl_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<NodeClass>> classes_;
  std::vector<std::unique_ptr<Node>> nodes_;
};

}  // namespace memhost

#endif
