// Fuzz target: the evaluate callback over message trees decoded from the input on the in-memory
// host: names from the node's own vocabulary or random UTF-16, values of every kind (invalid
// UTF-16, wild dates and times, NaN seconds), node attributes, and host faults at random calls.
// The server is a loopback port nobody listens on, so every mail takes the failure road.
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "SendMailPlugIn.h"
#include "memhost.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// A loopback port that is bound but never listens: connects there are refused at once, and no
// other process can take the port while we hold it (the socket stays open for the process).
std::string refusingPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    fail("no loopback port");
  return std::to_string(ntohs(address.sin_port));
}

const char* const kNames[] = {
    "TVMD", "PutDate", "PutTime", "MsgId", "Properties", "XML", "Mail", "To", "MailTo", "Cc", "MailCc", "Bcc",
    "MailBcc", "From", "MailFrom", "Subject", "MailSubject", "Body", "MailBody", "Line", "SendMailError", "to", "",
    "TVMD ", "ReplyTo", "MailReplyTo", "Html", "MailHtml", "Header", "MailHeader", "Attachment", "MailAttachment",
    "Name", "ContentType", "Data", "X-Ticket", "Content-Type"};

// Mostly ASCII and the separators that matter, sometimes any unit (lone surrogates too).
std::u16string randomUnits(FuzzedDataProvider& in, std::size_t most) {
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, most);
  std::u16string units;
  for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: units += static_cast<char16_t>(in.ConsumeIntegral<uint16_t>()); break;
      case 1: units += static_cast<char16_t>(in.PickValueInArray<char>({';', ' ', '\r', '\n', '.', '<', '>', '@'})); break;
      default: units += static_cast<char16_t>(in.ConsumeIntegralInRange<int>(0x20, 0x7e)); break;
    }
  }
  return units;
}

std::u16string pickName(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 7) == 0) return randomUnits(in, 12);
  return memhost::toUtf16(in.PickValueInArray(kNames));
}

float wildSeconds(FuzzedDataProvider& in) {
  using Limits = std::numeric_limits<float>;
  const float special[] = {Limits::quiet_NaN(), Limits::infinity(), -Limits::infinity()};
  const int pick = in.ConsumeIntegralInRange(0, 5);
  if (pick < 3) return special[pick];
  return pick == 3 ? in.ConsumeFloatingPoint<float>() : in.ConsumeFloatingPointInRange<float>(-2.0f, 62.0f);
}

// A converter failing leaves the reason's text empty; this host returns from a re-raise, and the
// node goes on.
struct Faults { bool converters = false, exceptions = false; };

void armFault(FuzzedDataProvider& in, Faults& faults) {
  const auto& names = memhost::Host::operationNames();
  const std::string& op = names[in.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1)];
  // A host that does not delete what it is asked to delete leaves the message behind whatever
  // the node does; that is the host's fault, not a leak of the node.
  if (op == "cniDeleteMessage") return;
  const int code = in.PickValueInArray<int>({CCI_BUFFER_TOO_SMALL, CCI_EXCEPTION, 2, 3});
  const auto mode = in.ConsumeBool() ? memhost::FaultMode::Instead : memhost::FaultMode::AfterWork;
  const unsigned nth = in.ConsumeIntegralInRange(1, 12);
  memhost::Host::instance().injectFault(op, nth, code, mode);
  if (std::getenv("FUZZ_SHOW_FAULTS") != nullptr)
    std::fprintf(stderr, "fault: %s call %u code %d %s\n", op.c_str(), nth, code,
                 mode == memhost::FaultMode::Instead ? "instead" : "after work");
  faults.converters |= op == "cciMbsToUcs" || op == "cciUcsToMbs";
  faults.exceptions |= code == CCI_EXCEPTION;
}

void buildTree(FuzzedDataProvider& in, memhost::Message& message, Faults& faults) {
  memhost::Element* current = &message.root();
  for (int count = 0; count < 200 && in.remaining_bytes() > 0; ++count) {
    switch (in.ConsumeIntegralInRange(0, 9)) {
      case 0:
        current = &current->addChild("", in.ConsumeBool() ? memhost::kTypeName : memhost::kTypeNameValue);
        current->setName(pickName(in));
        break;
      case 1: {
        memhost::Element& child = current->addChild("", memhost::kTypeNameValue);
        child.setName(pickName(in));
        child.setCharacterValue(randomUnits(in, in.ConsumeBool() ? 40 : 3000));
        break;
      }
      case 2:
        current->addDate("", {in.ConsumeIntegral<int32_t>(), in.ConsumeIntegralInRange(-1, 14), in.ConsumeIntegral<int32_t>()})
            .setName(pickName(in));
        break;
      case 3:
        current->addTime("", {in.ConsumeIntegral<int32_t>(), in.ConsumeIntegral<int32_t>(), wildSeconds(in)})
            .setName(pickName(in));
        break;
      case 4: current->addBytes("", in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 40))).setName(pickName(in)); break;
      case 5: current = current->parent() != nullptr ? current->parent() : current; break;
      case 6: armFault(in, faults); break;
      case 7:
        current->setType(in.PickValueInArray<int>({memhost::kTypeName, memhost::kTypeValue, memhost::kTypeNameValue, 0}));
        break;
      case 8:
        if (current == &message.root() && message.root().children().empty()) current = &message.makeStandardShape();
        break;
      default: current->addChild("", memhost::kTypeValue).setCharacterValue(randomUnits(in, 40)); break;
    }
  }
}

// The node adds "SendMailError" as the last child of the copy's root, body folder or top
// element, whichever is deepest; it must hold a non-empty reason.
bool carriesReason(const memhost::Element& root) {
  const memhost::Element* e = &root;
  for (int depth = 0; depth < 3 && e->lastChild() != nullptr; ++depth) {
    e = e->lastChild();
    if (e->name() == u"SendMailError" && e->children().size() == 1 && !e->children()[0]->characterValue().empty())
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  memhost::Host& host = memhost::Host::instance();
  // The entry point runs once per process, as a broker calls it once per load.
  static const bool once = [&] {
    host.setContextReleaser([](CciContext* c) { deleteNodeContext(c); });
    host.reset();
    return tvlGetMessageflowNodeFactory() != nullptr;
  }();
  memhost::Node* node = once ? host.createNode("SendMailPlugInNode") : nullptr;
  if (node == nullptr) fail("no factory or no node");
  node->setAttribute("ServerName", "127.0.0.1");
  static const std::string port = refusingPort();
  node->setAttribute("ServerPort", port);
  for (const char* name : {"SMTPFrom", "SMTPFullFrom", "Bcc", "SetPriority", "Priority"})
    if (in.ConsumeBool()) node->setAttribute(name, in.ConsumeRandomLengthString(60));
  if (in.ConsumeIntegralInRange(0, 7) == 0) node->terminal("failure")->setAttached(false);

  Faults faults;
  auto message = host.newMessage();
  buildTree(in, *message, faults);
  node->evaluate(*message);
  host.clearFaults();

  auto failure = node->terminal("failure")->takePropagations();
  if (!node->terminal("out")->takePropagations().empty()) fail("a mail nobody could take went to out");
  if (failure.size() > 1) fail("more than one propagation");
  if (host.logEntries().size() > 1) fail("more than one log entry");
  if (host.liveCreatedMessages() != 0) fail("a created message was not deleted");
  if (failure.size() == 1 && !faults.converters && !faults.exceptions && !carriesReason(failure[0].message->root()))
    fail("failure without its reason");
  host.resetKeepingClasses();
  return 0;
}
