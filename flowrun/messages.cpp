// The shapes of the runner's message trees: the template a reader fills, the descriptor folder
// each evaluation's copy gets as a queue manager would fill it, and what the node added to a
// message it sent on (a failure's reason, the tries in a detail or receipt).
#include "messages.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

#include "formats.h"
#include "node_schema.h"

namespace flowrun {
namespace {

using memhost::Element;
using memhost::Message;

constexpr const char* kPropertiesFolder = "Properties";

std::atomic<std::uint64_t> messageCounter{0};

// 24 bytes: a tag, the process id, the run's start and a counter, so ids differ across runs
// and within one.
std::vector<uint8_t> freshMessageId() {
  static const std::uint64_t start =
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  static const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
  std::uint64_t n = messageCounter.fetch_add(1, std::memory_order_relaxed) + 1;
  std::vector<uint8_t> id = {'F', 'R', 'U', 'N'};
  auto put = [&id](std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) id.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(pid, 4);
  put(start, 8);
  put(n, 8);
  return id;
}

void now(HostDate& date, HostTime& time) {
  auto clock = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(clock);
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(clock.time_since_epoch()).count() % 1000000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  date = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday};
  time = {utc.tm_hour, utc.tm_min, static_cast<float>(utc.tm_sec) + static_cast<float>(micros) / 1e6f};
}

}  // namespace

void addMessage(const std::string& label, const char* bodyFolder, const std::function<void(Element&)>& fill,
                Reading& reading) {
  auto message = std::make_unique<Message>();
  message->root().addChild(kPropertiesFolder);
  try {
    fill(message->root().addChild(bodyFolder));
  } catch (const InputProblem& e) {
    reading.errors.push_back({label, e.what()});
    return;
  }
  reading.out.push_back({label, std::move(message), reading.path});
}

bool parsePutTime(const std::string& text, HostDate& date, HostTime& time) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, consumed = 0;
  float s = 0;
  char sep = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%f%n", &y, &mo, &d, &sep, &h, &mi, &s, &consumed) != 7) return false;
  if ((sep != ' ' && sep != 'T') || static_cast<std::size_t>(consumed) != text.size()) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || !(s >= 0 && s < 61)) return false;
  date = {y, mo, d};
  time = {h, mi, s};
  return true;
}

bool parseMsgId(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() != 48) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      char c = text[j];
      unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
                       : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                       : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                              : 16u;
      if (digit > 15) return false;
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

std::unique_ptr<Message> instantiate(const Message& input, const DescriptorOptions& options, memhost::Host& host) {
  auto message = host.newMessage();
  Element& root = message->root();
  const Element* properties = input.root().firstChild();
  const Element* folder = input.root().lastChild();

  Element& newProperties = root.addChild(kPropertiesFolder);
  if (properties != nullptr && properties != folder) properties->copyChildrenTo(newProperties);
  if (!options.omit) {
    Element& descriptor = root.addChild(schema::kDescriptorFolder);
    descriptor.addChild(schema::kPutDate, memhost::kTypeNameValue);
    descriptor.addChild(schema::kPutTime, memhost::kTypeNameValue);
    descriptor.addChild(schema::kMsgId, memhost::kTypeNameValue);
    renewDescriptor(*message, options);
  }
  if (folder != nullptr) {
    Element& body = root.addChild(folder->nameUtf8());
    folder->copyChildrenTo(body);
  }
  return message;
}

void renewDescriptor(Message& message, const DescriptorOptions& options) {
  if (options.omit) return;
  HostDate date{};
  HostTime time{};
  now(date, time);
  // The descriptor follows the properties folder; its values in the order instantiate added them.
  const auto& descriptor = message.root().children().at(1)->children();
  descriptor.at(0)->setDate(options.putDate.value_or(date));
  descriptor.at(1)->setTime(options.putTime.value_or(time));
  descriptor.at(2)->setBytes(options.msgId ? *options.msgId : freshMessageId());
}

Element* topElement(const Message& message) {
  const Element* folder = message.root().lastChild();
  return folder != nullptr ? folder->firstChild() : nullptr;
}

namespace {
// The element `name` the node added to a message it sent on: under the top element, or under
// the folder or root when the message has no such element; looked for in that order, the last
// one added wins.
const Element* addedElement(const Message& message, std::string_view name) {
  const Element* folder = message.root().lastChild();
  const Element* top = folder != nullptr ? folder->lastChild() : nullptr;
  const Element* found = nullptr;
  for (const Element* parent : {top, folder, &message.root()}) {
    if (parent == nullptr) continue;
    for (const auto& child : parent->children()) {
      if (child->nameUtf8() == name) found = child.get();
    }
    if (found != nullptr) break;
  }
  return found;
}

std::string textOf(const Element* element) {
  std::string text;
  if (element != nullptr) {
    for (const auto& child : element->children()) text += child->text();
  }
  return text;
}
}  // namespace

std::string sendMailError(const Message& message) { return textOf(addedElement(message, schema::kErrorElement)); }

int attemptsOf(const Message& message) {
  for (const char* folder : {schema::kErrorDetailElement, schema::kReceiptElement}) {
    const Element* added = addedElement(message, folder);
    if (added == nullptr) continue;
    for (const auto& child : added->children()) {
      if (child->nameUtf8() == schema::kAttemptsElement) return std::atoi(textOf(child.get()).c_str());
    }
  }
  return 0;
}

}  // namespace flowrun
