// The node settings a mail request takes from the node's attributes: loaded into the node
// context by the first evaluation and kept from then on, the sender composed from address and
// full name, and the priority names. The load runs under the context's lock, so evaluations
// that overlap see it run once and see it whole.
#include <cstdlib>
#include <cstring>

#include "SendMailPlugIn.h"
#include "SubmitSettings.h"
#include "TvlSampPluginUtil.h"
#include "c_memory.h"
#include "evaluate_internal.h"
#include "node_schema.h"
#include "node_utils.h"

int GetPriorityNumber(const CciChar* text) {
  const CciChar* const names[] = {constHighest, constHigh, constNormal, constLow, constLowest};
  for (int i = 0; i < 5; ++i) {
    if (names[i] != nullptr && CciCharCmp(text, names[i]) == 0) return i + 1;
  }
  return 3;
}

namespace evaluation {
namespace {

using schema::Attribute;

// getAttribute copies at most 256 units; one more unit keeps the value terminated whatever
// the attribute table holds.
constexpr int kAttributeUnits = 256;

// Reads one attribute as host text; false when the node does not have it.
bool readAttribute(NodeContext& context, const char* name, CciChar (&value)[kAttributeUnits + 1]) {
  CciText cciName = ownOrThrow(CciString(name));
  value[kAttributeUnits] = 0;
  return getAttribute(&context, cciName.get(), value, 2 * kAttributeUnits) == 0;
}

bool readAttribute(NodeContext& context, Attribute attribute, CciChar (&value)[kAttributeUnits + 1]) {
  return readAttribute(context, schema::name(attribute), value);
}

// Reads one attribute as new UTF-8 text, or null when the node does not have it.
CString readAttributeText(NodeContext& context, const char* name) {
  CciChar value[kAttributeUnits + 1];
  if (!readAttribute(context, name, value)) return nullptr;
  return ownOrThrow(UnicodeToASCII(value));
}

CString readAttributeText(NodeContext& context, Attribute attribute) {
  return readAttributeText(context, schema::name(attribute));
}

// Decimal text to a port: leading blanks and a sign allowed, reading stops at the first
// non-digit, no digits give 0, and the low 16 bits are kept (70000 gives 4464).
uint16_t parsePort(const char* text) {
  long long n = std::strtoll(text, nullptr, 10);
  return static_cast<uint16_t>(static_cast<unsigned long long>(n) & 0xFFFFu);
}

// A sender part counts when it is present, not empty and does not start with a blank.
bool usable(const char* text) { return text != nullptr && text[0] != '\0' && text[0] != ' '; }

// Frees a cached text unless `keep` is the same string.
void release(char*& text, const char* keep) {
  if (text != nullptr && text != keep) std::free(text);
  text = nullptr;
}

// First use: the blind copy and the priority. Runs once per context, even when a read fails.
void loadBlindCopyAndPriority(NodeContext& context) {
  context.settingsLoaded = 1;
  if (CString bcc = readAttributeText(context, Attribute::Bcc)) context.bcc = bcc.release();

  CciChar value[kAttributeUnits + 1];
  if (readAttribute(context, Attribute::SetPriority, value) && constYes != nullptr && CciCharCmp(value, constYes) == 0) {
    if (readAttribute(context, Attribute::Priority, value)) {
      context.priority = static_cast<int8_t>(GetPriorityNumber(value));
    }
  }
}

// Secure submission. Runs again at the next evaluation until it succeeds: were a failure kept,
// a node asked for TLS would fall back to plain submission and send in clear.
void loadSubmitSettings(NodeContext& context) {
  context.submit = makeSubmitSettings(
                        [&](const char* name) {
                          CString text = readAttributeText(context, name);
                          return std::string(text ? text.get() : "");
                        },
                        &logTrace)
                        .release();
}

// Server and sender. Runs again at the next evaluation while the server name is absent.
void loadServerAndSender(NodeContext& context) {
  CString serverName = readAttributeText(context, Attribute::ServerName);
  if (CString port = readAttributeText(context, Attribute::ServerPort)) context.serverPort = parsePort(port.get());
  CString smtpFrom = readAttributeText(context, Attribute::SMTPFrom);
  CString smtpFullFrom = readAttributeText(context, Attribute::SMTPFullFrom);

  CString fromAddress;
  bool fromIsSmtpFrom = false;
  if (usable(smtpFrom.get())) {
    if (usable(smtpFullFrom.get())) {
      std::string composed = std::string(smtpFullFrom.get()) + " <" + smtpFrom.get() + ">";
      fromAddress = ownOrThrow(strdup(composed.c_str()));
    } else {
      fromIsSmtpFrom = true;
    }
  }

  // Every allocation is done: now replace the cached texts in one go.
  if (serverName) {
    release(context.serverName, nullptr);
    context.serverName = serverName.release();
  }
  if (fromAddress || fromIsSmtpFrom) release(context.fromAddress, context.smtpFrom);
  release(context.smtpFrom, context.fromAddress);
  release(context.smtpFullFrom, nullptr);
  context.smtpFrom = smtpFrom.release();
  context.smtpFullFrom = smtpFullFrom.release();
  if (fromAddress) context.fromAddress = fromAddress.release();
  if (fromIsSmtpFrom) context.fromAddress = context.smtpFrom;
}

}  // namespace

void loadNodeSettings(NodeContext& context, NodeSettings& settings) {
  bool complete = context.settingsComplete.load(std::memory_order_acquire);
  std::unique_lock<std::mutex> lock;
  if (!complete) {
    lock = std::unique_lock<std::mutex>(context.settingsLock);
    if (context.settingsLoaded == 0) loadBlindCopyAndPriority(context);
    if (context.submit == nullptr) loadSubmitSettings(context);
    if (context.serverName == nullptr) loadServerAndSender(context);
    complete = context.serverName != nullptr && context.submit != nullptr;
    if (complete) context.settingsComplete.store(true, std::memory_order_release);
  }

  settings.serverPort = context.serverPort;
  settings.priority = context.priority;
  settings.submit = &context.submit->options;
  settings.failureDetail = context.submit->failureDetail;
  settings.receipt = context.submit->receipt;
  if (complete) {
    settings.serverName = context.serverName;
    settings.fromAddress = context.fromAddress;
    settings.bcc = context.bcc;
    return;
  }
  // Partly loaded: a later evaluation may replace these texts while this one still uses them.
  auto copy = [](const char* text, std::string& storage) -> const char* {
    if (text == nullptr) return nullptr;
    storage = text;
    return storage.c_str();
  };
  settings.serverName = copy(context.serverName, settings.serverNameCopy);
  settings.fromAddress = copy(context.fromAddress, settings.fromAddressCopy);
  settings.bcc = copy(context.bcc, settings.bccCopy);
}

}  // namespace evaluation
