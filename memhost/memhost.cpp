// The in-memory host's objects and its C++ API: message trees, terminals with their recorded
// propagations, node instances driven through the plug-in's callback table, and the Host
// singleton with its log, fault injection and call accounting.
#include "memhost.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "host_impl.h"
#include "node_schema.h"

namespace memhost {
namespace {

const char* kindName(ValueKind kind) {
  switch (kind) {
    case ValueKind::None: return "none";
    case ValueKind::Character: return "text";
    case ValueKind::Date: return "date";
    case ValueKind::GmtTime: return "time";
    case ValueKind::ByteArray: return "bytes";
  }
  return "?";
}

}  // namespace

// ---------------------------------------------------------------- Element

const std::u16string Element::kNoText;
const std::vector<uint8_t> Element::kNoBytes;

Element::Element(Message* owner, Element* parent) : owner_(owner), parent_(parent) {}

Element* Element::firstChild() const { return children_.empty() ? nullptr : children_.front().get(); }
Element* Element::lastChild() const { return children_.empty() ? nullptr : children_.back().get(); }

Element* Element::nextSibling() const {
  if (!parent_) return nullptr;
  const auto& siblings = parent_->children_;
  return index_ + 1 < siblings.size() ? siblings[index_ + 1].get() : nullptr;
}

Element* Element::child(std::string_view nameUtf8) const {
  const std::u16string wanted = toUtf16(nameUtf8);
  for (const auto& c : children_) {
    if (c->name_ == wanted) return c.get();
  }
  return nullptr;
}

void Element::setName(std::u16string name) {
  name_ = std::move(name);
  owner_->changed();
}
void Element::setName(std::string_view nameUtf8) { setName(toUtf16(nameUtf8)); }
void Element::setType(int type) {
  type_ = type;
  owner_->changed();
}
void Element::setCharacterValue(std::u16string value) {
  owner_->changed();
  kind_ = ValueKind::Character;
  text_ = std::make_shared<const std::u16string>(std::move(value));
}
void Element::setText(std::string_view utf8) { setCharacterValue(toUtf16(utf8)); }
void Element::setDate(HostDate date) {
  owner_->changed();
  kind_ = ValueKind::Date;
  date_ = date;
}
void Element::setTime(HostTime time) {
  owner_->changed();
  kind_ = ValueKind::GmtTime;
  time_ = time;
}
void Element::setBytes(std::vector<uint8_t> bytes) {
  owner_->changed();
  kind_ = ValueKind::ByteArray;
  bytes_ = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

Element& Element::addChild(std::string_view nameUtf8, int type) {
  auto element = std::make_unique<Element>(owner_, this);
  element->index_ = children_.size();
  element->name_ = toUtf16(nameUtf8);
  element->type_ = type;
  children_.push_back(std::move(element));
  owner_->changed();
  return *children_.back();
}

Element& Element::addText(std::string_view nameUtf8, std::string_view utf8Value) {
  Element& e = addChild(nameUtf8, kTypeNameValue);
  e.setText(utf8Value);
  return e;
}
Element& Element::addDate(std::string_view nameUtf8, HostDate date) {
  Element& e = addChild(nameUtf8, kTypeNameValue);
  e.setDate(date);
  return e;
}
Element& Element::addTime(std::string_view nameUtf8, HostTime time) {
  Element& e = addChild(nameUtf8, kTypeNameValue);
  e.setTime(time);
  return e;
}
Element& Element::addBytes(std::string_view nameUtf8, std::vector<uint8_t> bytes) {
  Element& e = addChild(nameUtf8, kTypeNameValue);
  e.setBytes(std::move(bytes));
  return e;
}

void Element::copyChildrenTo(Element& target) const {
  // Only the children there now: copying a tree below itself must not chase its own new
  // children (they are reached by index, as appending may move the owning pointers).
  const std::size_t count = children_.size();
  target.owner_->changed();
  target.children_.reserve(target.children_.size() + count);
  for (std::size_t i = 0; i < count; ++i) {
    const Element* source = children_[i].get();
    auto copy = std::make_unique<Element>(target.owner_, &target);
    copy->index_ = target.children_.size();
    copy->name_ = source->name_;
    copy->type_ = source->type_;
    copy->kind_ = source->kind_;
    copy->text_ = source->text_;
    copy->date_ = source->date_;
    copy->time_ = source->time_;
    copy->bytes_ = source->bytes_;
    Element& added = *copy;
    target.children_.push_back(std::move(copy));
    source->copyChildrenTo(added);
  }
}

bool Element::sameTree(const Element& other) const {
  if (name_ != other.name_ || type_ != other.type_ || kind_ != other.kind_) return false;
  switch (kind_) {
    case ValueKind::Character:
      if (characterValue() != other.characterValue()) return false;
      break;
    case ValueKind::Date:
      if (std::memcmp(&date_, &other.date_, sizeof date_) != 0) return false;
      break;
    case ValueKind::GmtTime:
      if (time_.hour != other.time_.hour || time_.minute != other.time_.minute ||
          time_.seconds != other.time_.seconds)
        return false;
      break;
    case ValueKind::ByteArray:
      if (bytes() != other.bytes()) return false;
      break;
    case ValueKind::None:
      break;
  }
  if (children_.size() != other.children_.size()) return false;
  for (std::size_t i = 0; i < children_.size(); ++i) {
    if (!children_[i]->sameTree(*other.children_[i])) return false;
  }
  return true;
}

std::string Element::dump(int indent) const {
  char type[16];
  std::snprintf(type, sizeof type, "%08x", static_cast<unsigned>(type_));
  std::string out(static_cast<std::size_t>(indent) * 2, ' ');
  out += nameUtf8() + " [" + type + ' ' + kindName(kind_) + ']';
  switch (kind_) {
    case ValueKind::Character: out += " \"" + text() + '"'; break;
    case ValueKind::Date:
      out += ' ' + std::to_string(date_.year) + '-' + std::to_string(date_.month) + '-' +
             std::to_string(date_.day);
      break;
    case ValueKind::GmtTime:
      out += ' ' + std::to_string(time_.hour) + ':' + std::to_string(time_.minute) + ':' +
             std::to_string(time_.seconds);
      break;
    case ValueKind::ByteArray: out += ' ' + std::to_string(bytes().size()) + " bytes"; break;
    case ValueKind::None: break;
  }
  out += '\n';
  for (const auto& c : children_) out += c->dump(indent + 1);
  return out;
}

// ---------------------------------------------------------------- Message

Message::Message(MessageContext* context)
    : ownedContext_(context ? nullptr : std::make_shared<MessageContext>()),
      context_(context ? context : ownedContext_.get()),
      root_(std::make_unique<Element>(this)) {
  root_->setName(std::string_view("Root"));
}

std::unique_ptr<Message> Message::clone() const {
  auto copy = std::make_unique<Message>(context_);
  copy->ownedContext_ = ownedContext_;
  copy->root_->setName(root_->name());
  copy->root_->setType(root_->type());
  root_->copyChildrenTo(*copy->root_);
  return copy;
}

Element& Message::makeStandardShape(std::string_view topName, std::string_view bodyFolder) {
  root_->addChild("Properties");
  root_->addChild(schema::kDescriptorFolder);
  return root_->addChild(bodyFolder).addChild(topName);
}

// ---------------------------------------------------------------- Terminal

Terminal::Terminal(Node* node, std::u16string name, bool input)
    : node_(node), name_(std::move(name)), input_(input) {}

bool Terminal::attached() const { return attached_.load(std::memory_order_relaxed); }
void Terminal::setAttached(bool attached) { attached_.store(attached, std::memory_order_relaxed); }

void Terminal::setSink(Sink sink) {
  const bool set = static_cast<bool>(sink);
  std::lock_guard lock(mutex_);
  sink_ = set ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  hasSink_.store(set, std::memory_order_release);
}

std::size_t Terminal::propagationCount() const {
  std::lock_guard lock(mutex_);
  return propagations_.size();
}

std::vector<Propagation> Terminal::takePropagations() {
  std::lock_guard lock(mutex_);
  return std::exchange(propagations_, {});
}

int Terminal::propagate(Message& message, CciMessage* companionA, CciMessage* companionB) {
  if (hasSink_.load(std::memory_order_acquire)) {
    std::shared_ptr<const Sink> sink;
    {
      std::lock_guard lock(mutex_);
      sink = sink_;
    }
    if (sink) return (*sink)(message, companionA, companionB);
  }
  // The copy is taken outside the lock: propagations of different messages run in parallel.
  Propagation p{message.clone(), message.handle(), companionA, companionB};
  std::lock_guard lock(mutex_);
  propagations_.push_back(std::move(p));
  return 0;
}

// ---------------------------------------------------------------- Node

Node::Node(const NodeClass& nodeClass, std::u16string name) : class_(nodeClass), name_(std::move(name)) {}
Node::~Node() = default;

Terminal* Node::terminal(std::string_view nameUtf8) const {
  const std::u16string wanted = toUtf16(nameUtf8);
  std::lock_guard lock(mutex_);
  for (const auto& t : terminals_) {
    if (t->name() == wanted) return t.get();
  }
  return nullptr;
}

Terminal* Node::addTerminal(std::u16string name, bool input) {
  std::lock_guard lock(mutex_);
  terminals_.push_back(std::make_unique<Terminal>(this, std::move(name), input));
  return terminals_.back().get();
}

int Node::setAttribute(std::string_view name, std::string_view value) {
  if (!class_.table || !class_.table->setAttribute) return 1;
  std::vector<CciChar> n = toCci(toUtf16(name));
  std::vector<CciChar> v = toCci(toUtf16(value));
  return class_.table->setAttribute(context_, n.data(), v.data());
}

bool Node::getAttribute(std::string_view name, std::string& value) const {
  if (!class_.table || !class_.table->getAttribute) return false;
  std::vector<CciChar> n = toCci(toUtf16(name));
  std::vector<CciChar> buffer(1025, 0);
  if (class_.table->getAttribute(context_, n.data(), buffer.data(), 1024) != 0) return false;
  value = toUtf8(fromCci(buffer.data()));
  return true;
}

std::vector<std::string> Node::attributeNames() const {
  std::vector<std::string> names;
  if (!class_.table || !class_.table->getAttributeName) return names;
  for (int32_t index = 0; index < 100000; ++index) {
    CciChar buffer[257] = {};
    if (class_.table->getAttributeName(context_, index, buffer, 256) != 0) break;
    names.push_back(toUtf8(fromCci(buffer)));
  }
  return names;
}

void Node::evaluate(Message& message, CciMessage* companionA, CciMessage* companionB) {
  if (!class_.table || !class_.table->evaluate) return;
  class_.table->evaluate(context_, companionA ? companionA : defaultCompanionA(),
                         companionB ? companionB : defaultCompanionB(), message.handle());
}

// ---------------------------------------------------------------- Host

Host& Host::instance() {
  // Never destroyed: plug-ins and runner threads may still call in while the process exits.
  static Host* host = new Host;
  return *host;
}

Host::Host() : impl_(std::make_unique<Impl>()) {}
Host::~Host() = default;

void Host::Impl::clearState(bool keepFactories) {
  std::lock_guard lock(mutex);
  faults.clear();
  faultsArmed.store(false, std::memory_order_relaxed);
  recording.store(false, std::memory_order_relaxed);
  calls.clear();
  log.clear();
  logSink.reset();
  exceptionPending = false;
  pendingException = {};
  rethrows = 0;
  if (!keepFactories) factories.clear();
  created.clear();
  for (auto& c : counts) c.value.store(0, std::memory_order_relaxed);
}

void Host::reset() { clear(false); }
void Host::resetKeepingClasses() { clear(true); }

void Host::clear(bool keepClasses) {
  std::vector<std::unique_ptr<Node>> nodes;
  std::vector<std::unique_ptr<NodeClass>> classes;
  {
    std::lock_guard lock(mutex_);
    nodes.swap(nodes_);
    if (!keepClasses) classes.swap(classes_);
  }
  std::function<void(CciContext*)> releaser;
  {
    std::lock_guard lock(impl_->mutex);
    releaser = impl_->releaser;
  }
  for (auto& node : nodes) {
    if (releaser && node->context()) releaser(node->context());
    node->setContext(nullptr);
  }
  nodes.clear();  // before the classes they refer to
  impl_->clearState(keepClasses);
}

void Host::defineClass(CciFactory* factory, std::u16string factoryName, std::u16string className,
                       NodeCallbackTable* table) {
  auto nodeClass = std::make_unique<NodeClass>();
  nodeClass->factory = factory;
  nodeClass->factoryName = std::move(factoryName);
  nodeClass->className = std::move(className);
  nodeClass->table = table;
  std::lock_guard lock(mutex_);
  classes_.push_back(std::move(nodeClass));
}

const NodeClass* Host::findClass(std::string_view classNameUtf8) const {
  const std::u16string wanted = toUtf16(classNameUtf8);
  std::lock_guard lock(mutex_);
  // The latest definition wins: a plug-in whose entry point runs again defines its class again.
  for (auto it = classes_.rbegin(); it != classes_.rend(); ++it) {
    if ((*it)->className == wanted) return it->get();
  }
  return nullptr;
}

std::size_t Host::factoryCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->factories.size();
}

Node* Host::createNode(std::string_view classNameUtf8, std::string_view nodeNameUtf8) {
  const NodeClass* nodeClass = findClass(classNameUtf8);
  if (!nodeClass || !nodeClass->table || !nodeClass->table->createNodeContext) return nullptr;
  auto node = std::make_unique<Node>(*nodeClass, toUtf16(nodeNameUtf8));
  // The plug-in calls back into the host (terminals) from createNodeContext: no lock held here.
  std::vector<CciChar> className = toCci(nodeClass->className);
  node->setContext(nodeClass->table->createNodeContext(nodeClass->factory, className.data(), node->handle()));
  std::lock_guard lock(mutex_);
  nodes_.push_back(std::move(node));
  return nodes_.back().get();
}

void Host::setContextReleaser(std::function<void(CciContext*)> releaser) {
  std::lock_guard lock(impl_->mutex);
  impl_->releaser = std::move(releaser);
}

std::unique_ptr<Message> Host::newMessage() { return std::make_unique<Message>(); }

std::size_t Host::liveCreatedMessages() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->created.size();
}

std::vector<LogEntry> Host::logEntries() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

void Host::clearLog() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
}

void Host::setLogSink(std::function<void(const LogEntry&)> sink) {
  std::lock_guard lock(impl_->mutex);
  if (sink) {
    impl_->logSink = std::make_shared<const std::function<void(const LogEntry&)>>(std::move(sink));
  } else {
    impl_->logSink.reset();
  }
}

std::size_t Host::rethrowCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->rethrows;
}

const std::vector<std::string>& Host::operationNames() {
#define MEMHOST_OP_NAME(name) #name,
  static const std::vector<std::string> names = {MEMHOST_OPERATIONS(MEMHOST_OP_NAME)};
#undef MEMHOST_OP_NAME
  return names;
}

namespace {
Op opFromName(std::string_view name) {
  const auto& names = Host::operationNames();
  const auto it = std::find(names.begin(), names.end(), name);
  if (it == names.end()) throw std::invalid_argument("memhost: no host operation " + std::string(name));
  return static_cast<Op>(it - names.begin());
}
}  // namespace

void Host::injectFault(std::string_view operation, unsigned nth, int code, FaultMode mode) {
  const Op op = opFromName(operation);
  std::lock_guard lock(impl_->mutex);
  const unsigned now = impl_->counts[static_cast<std::size_t>(op)].value.load(std::memory_order_relaxed);
  impl_->faults.push_back({op, now + nth, code, mode});
  impl_->faultsArmed.store(true, std::memory_order_relaxed);
}

void Host::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
  impl_->faultsArmed.store(false, std::memory_order_relaxed);
}

unsigned Host::callCount(std::string_view operation) const {
  return impl_->counts[static_cast<std::size_t>(opFromName(operation))].value.load(std::memory_order_relaxed);
}

void Host::recordCalls(bool on) {
  std::lock_guard lock(impl_->mutex);
  if (on) impl_->calls.clear();
  impl_->recording.store(on, std::memory_order_relaxed);
}

std::vector<HostCall> Host::calls() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->calls;
}

// ---------------------------------------------------------------- Impl

Injected Host::Impl::enter(Op op, int* rc) {
  const std::size_t index = static_cast<std::size_t>(op);
  const unsigned number = counts[index].value.fetch_add(1, std::memory_order_relaxed) + 1;
  const bool record = recording.load(std::memory_order_relaxed);
  const bool armed = faultsArmed.load(std::memory_order_relaxed);
  if (!record && !armed) return {};

  std::lock_guard lock(mutex);
  if (record) calls.push_back({Host::operationNames()[index], rc});
  if (!armed) return {};
  const auto it = std::find_if(faults.begin(), faults.end(),
                               [&](const Fault& f) { return f.op == op && f.callNumber == number; });
  if (it == faults.end()) return {};
  const Injected injected{it->code, it->mode};
  const int code = it->code;
  faults.erase(it);
  if (faults.empty()) faultsArmed.store(false, std::memory_order_relaxed);
  if (code == CCI_EXCEPTION) {
    exceptionPending = true;
    pendingException = {};
    pendingException.type = 1;
    pendingException.line = static_cast<int32_t>(number);
    std::snprintf(pendingException.file, sizeof pendingException.file, "memhost");
    std::snprintf(pendingException.text, sizeof pendingException.text, "injected exception in %s",
                  Host::operationNames()[index].c_str());
  }
  return injected;
}

void Host::Impl::raise(const std::string& text) {
  std::lock_guard lock(mutex);
  exceptionPending = true;
  pendingException = {};
  pendingException.type = 2;
  std::snprintf(pendingException.file, sizeof pendingException.file, "memhost");
  std::snprintf(pendingException.text, sizeof pendingException.text, "%s", text.c_str());
}

bool Host::Impl::knownFactory(CciFactory* factory) const {
  std::lock_guard lock(mutex);
  return std::any_of(factories.begin(), factories.end(),
                     [&](const auto& f) { return f->handle() == factory; });
}

}  // namespace memhost
