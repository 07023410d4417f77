// The evaluate callback: one message in, one mail out. It brings the node settings up to date,
// reads the descriptor and the mail fields, hands one mail request to the SMTP client, and
// propagates the input (or, with Receipt, a copy with the receipt) to "out" or a failure copy to
// "failure", with one log entry; and the node's trace sink, which writes the dialogue to the log
// when the Trace attribute asks.
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "SendMailPlugIn.h"
#include "SimpleSMTP/smtp.h"
#include "evaluate_internal.h"
#include "node_schema.h"

namespace evaluation {
namespace {

// Set while the host re-raises its exception; if the host unwinds instead of returning, the
// flag is still set when the unwinding reaches evaluate, which then lets it pass on.
thread_local bool hostExceptionInFlight = false;

// Log entries about propagation: trace text, type, and the line number the entry carries.
struct LogLine {
  const char* text;
  int type;
  int line;
};
constexpr LogLine kPropagateFailed{"Propagate failed", CCI_LOG_ERROR, 1628};
constexpr LogLine kMessagePropagated{"Message propagated", CCI_LOG_INFORMATION, 1637};
constexpr LogLine kErrorOccurred{"Error occurred", CCI_LOG_ERROR, 1651};
constexpr LogLine kTerminalNotConnected{"Terminal not connected", CCI_LOG_ERROR, 1663};

void log(int& rc, const LogLine& entry) {
  cciLog(&rc, entry.type, "SendMailPlugIn", entry.line, "", constTalvaneLarnet2, 0, entry.text,
         static_cast<const char*>(nullptr));
}

}  // namespace

void logTrace(smtp::TraceKind kind, std::string_view server, unsigned long connection, std::string_view text) noexcept {
  // The host takes NUL-terminated texts; these copies are made only while a trace is on.
  try {
    thread_local std::string line, where, number;
    line.assign(text);
    where.assign(server);
    number = std::to_string(connection);
    const int at = kind == smtp::TraceKind::Sent       ? schema::kTraceSentLine
                   : kind == smtp::TraceKind::Received ? schema::kTraceReceivedLine
                                                       : schema::kTraceNoteLine;
    int rc = 0;
    cciLog(&rc, CCI_LOG_INFORMATION, "SendMailPlugIn", at, "", constTalvaneLarnet2, 0, line.c_str(), where.c_str(),
           number.c_str(), static_cast<const char*>(nullptr));
  } catch (...) {
    // No memory for the entry: the trace misses it, the mail does not.
  }
}

namespace {

// Code written by evaluate itself when the message names no recipient.
constexpr int kNoRecipients = 2;

struct Outcome {
  int code = 0;
  const char* errorText = "";
  MailReport report;  // kept only when the node shows a failure's detail or a receipt
};

// Steps up to the mail request after the settings: descriptor, fields, the one request built
// from them and handed to the SMTP client.
Outcome sendMail(int& rc, const NodeSettings& settings, CciElement* root) {
  DescriptorTexts descriptor;
  readDescriptor(rc, root, descriptor);

  MailFields fields;
  readMailFields(rc, root, fields);

  if (settings.bcc != nullptr) appendToList(fields.bcc, settings.bcc);
  const char* from = settings.fromAddress != nullptr ? settings.fromAddress : fields.from.get();

  using smtp::orEmpty;
  auto list = [](const StringBuffer& b) { return std::string_view{b ? b->data : ""}; };
  smtp::MailRequest request{.serverName = orEmpty(settings.serverName),
                            .port = settings.serverPort != 0 ? settings.serverPort : uint16_t{25},
                            .from = orEmpty(from),
                            .to = list(fields.to),
                            .cc = list(fields.cc),
                            .bcc = list(fields.bcc),
                            .subject = orEmpty(fields.subject.get()),
                            .date = descriptor.date,
                            .messageId = descriptor.messageId,
                            .body = orEmpty(fields.body()),
                            .priority = settings.priority,
                            .rich = fields.takeRich(),
                            .accessToken = fields.accessToken};
  // Settings the node cannot use fail every mail alike, named before anything about the mail
  // itself, so that a message naming nobody tells whether the settings would do (the runner
  // asks that way before its first message).
  if (const smtp::Outcome refused = smtp::settingsRefusal(*settings.submit); refused.code != 0)
    return {refused.code, refused.text, {}};
  // Lists that hold only empty entries (an empty To, a lone ";", the node's empty Bcc) name
  // nobody either: a transaction without a recipient could only be refused, so none is opened.
  if (!smtp::hasRecipient(request)) return {-1, getErrorString(kNoRecipients), {}};
  if (!settings.failureDetail && !settings.receipt) {
    const smtp::Outcome sent = smtp::sendEmail(*settings.submit, request);
    return {sent.code, sent.text, {}};
  }
  const auto start = std::chrono::steady_clock::now();
  const smtp::Outcome sent = smtp::sendEmail(*settings.submit, request);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return {sent.code, sent.text,
          {sent, request.serverName, request.port, smtp::countRecipients(request), took.count()}};
}

void propagate(int& rc, CciTerminal* terminal, CciMessage* companionA, CciMessage* companionB,
               CciMessage* message) {
  if (terminal == nullptr) {
    log(rc, kTerminalNotConnected);
    return;
  }
  if (cniIsTerminalAttached(&rc, terminal) == 0) return;
  if (rc != CCI_SUCCESS) {
    if (rc == CCI_EXCEPTION) {
      reraiseHostException();
    } else {
      log(rc, kErrorOccurred);
    }
    return;
  }
  cniPropagate(&rc, terminal, companionA, companionB, message);
  if (rc == CCI_SUCCESS) {
    log(rc, kMessagePropagated);
    return;
  }
  if (rc == CCI_EXCEPTION) {
    CciExceptionData record;
    std::memset(&record, 0, sizeof record);
    cciGetLastExceptionData(&rc, &record);
    reraiseHostException();
  }
  log(rc, kPropagateFailed);
}

void run(NodeContext& context, CciMessage* companionA, CciMessage* companionB, CciMessage* input) {
  int rc = -1;
  // An allocation failure before the mail is handed over takes the failure road, with the
  // client's own text for it, so the message is kept; one while building the failure message
  // ends the evaluation like a host error.
  const auto guarded = [](auto&& step) -> Outcome {
    try {
      return step();
    } catch (const std::bad_alloc&) {
      if (takeHostExceptionInFlight()) throw;
      return {SMTP_TCPIP_NO_MEMORY, smtp::errorText(SMTP_TCPIP_NO_MEMORY), {}};
    }
  };
  // The settings come first, whatever the message: a first message the host cannot read still
  // fixes them, so attributes changed afterwards never reach a later mail.
  NodeSettings settings;
  Outcome outcome = guarded([&] {
    loadNodeSettings(context, settings);
    return Outcome{};
  });
  CciElement* root = checked(rc, cniRootElement(&rc, input));
  if (outcome.code == 0) outcome = guarded([&] { return sendMail(rc, settings, root); });

  HostMessage copy;  // the host's input itself is never changed: a copy carries what is added
  CciTerminal* terminal = nullptr;
  CciMessage* out = input;
  if (outcome.code == 0) {
    if (settings.receipt) {
      copy = buildReceiptMessage(rc, input, root, outcome.report);
      out = copy.get();
    }
    terminal = getOutputTerminalHandle(&context, constOut);
  } else {
    // A failure the client never saw (no recipient, no memory) is local, before any step.
    if (outcome.report.sent.code == 0) outcome.report.sent = {outcome.code, outcome.errorText, smtp::kNoStep};
    copy = buildFailureMessage(rc, input, root, outcome.errorText, settings.failureDetail ? &outcome.report : nullptr);
    terminal = getOutputTerminalHandle(&context, constFailure);
    out = copy.get();
  }
  propagate(rc, terminal, companionA, companionB, out);
}

}  // namespace

void reraiseHostException() {
  hostExceptionInFlight = true;
  cciRethrowLastException(nullptr);
  hostExceptionInFlight = false;
}

bool takeHostExceptionInFlight() noexcept {
  bool inFlight = hostExceptionInFlight;
  hostExceptionInFlight = false;
  return inFlight;
}

}  // namespace evaluation

void evaluate(CciContext* context, CciMessage* companionA, CciMessage* companionB, CciMessage* inputMessage) {
  if (context == nullptr) return;
  try {
    evaluation::run(*static_cast<NodeContext*>(context), companionA, companionB, inputMessage);
  } catch (const evaluation::EndEvaluation&) {
    // A host error: the message ends here, as the host asked.
  } catch (...) {
    // The host's own exception, re-raised through us, goes on to the host; anything of ours
    // (an allocation failure while building the failure message) ends the evaluation.
    if (evaluation::takeHostExceptionInFlight()) throw;
  }
}
