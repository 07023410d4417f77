// The copies the node sends on in place of its input: to "failure", a copy with an element
// "SendMailError" holding the reason (after a folder "SendMailErrorDetail" when the node is asked
// for one), added as the last child of the copied body's top element; to "out", when asked, a
// copy with a folder "SendMailReceipt" in the same place. Also the texts of the errors that arise
// in evaluate itself.
#include <string>
#include <utility>
#include <vector>

#include "SendMailPlugIn.h"
#include "TvlSampPluginUtil.h"
#include "c_memory.h"
#include "evaluate_internal.h"
#include "node_schema.h"
#include "node_utils.h"

const char* getErrorString(int code) {
  switch (code) {
    case 2:
      return schema::kNoRecipientsText;
    default:
      return "Unknown error";
  }
}

namespace evaluation {
namespace {

// A copy of the input message in its message context, and the element the node's own elements
// go under: the copied body's top element; when the copy has no top element, or no body
// folder, the deepest of them that exists, so the reason still travels.
HostMessage copyOf(int& rc, CciMessage* input, CciElement* root, CciElement*& parent) {
  CciMessageContext* messageContext = cniGetMessageContext(&rc, input);
  // Owned before the check: a host may hand out the message and still report an error.
  HostMessage copy(cniCreateMessage(&rc, messageContext));
  check(rc);
  CciElement* newRoot = checked(rc, cniRootElement(&rc, copy.get()));
  cniCopyElementTree(&rc, root, newRoot);
  check(rc);
  parent = newRoot;
  if (CciElement* folder = checked(rc, cniLastChild(&rc, newRoot))) {
    parent = folder;
    if (CciElement* top = checked(rc, cniLastChild(&rc, folder))) parent = top;
  }
  return copy;
}

// A new last child of `parent` named `name`.
CciElement* addNamed(int& rc, CciElement* parent, const CciChar* name) {
  CciElement* element = checked(rc, cniCreateElementAsLastChild(&rc, parent));
  cniSetElementType(&rc, element, CCI_ELEMENT_TYPE_NAME);
  check(rc);
  cniSetElementName(&rc, element, name);
  check(rc);
  return element;
}

// A value element holding `text` under `parent`.
void addValue(int& rc, CciElement* parent, const char* text) {
  CciElement* valueElement = checked(rc, cniCreateElementAsLastChild(&rc, parent));
  cniSetElementType(&rc, valueElement, CCI_ELEMENT_TYPE_VALUE);
  check(rc);
  CciText value = ownOrThrow(ASCIIToUnicode(text));
  cniSetElementCharacterValue(&rc, valueElement, value.get(), CciCharLen(value.get()));
  check(rc);
}

// A folder `name` with one named element per text, each holding its text as SendMailError does.
using Texts = std::vector<std::pair<const char*, std::string>>;
void addFolder(int& rc, CciElement* parent, const char* name, const Texts& texts) {
  CciElement* folder = addNamed(rc, parent, ownOrThrow(CciString(name)).get());
  for (const auto& [field, text] : texts) addValue(rc, addNamed(rc, folder, ownOrThrow(CciString(field)).get()), text.c_str());
}

// The failure's detail: reply code (empty without a reply), enhanced status code when the server
// gave one, kind, step, the refused recipient of a RCPT TO refusal, and the tries made (none for
// a failure decided before anything went towards a server: settings, the mail's values).
Texts detailTexts(const MailReport& report) {
  const smtp::Outcome& o = report.sent;
  const smtp::Kind kind = smtp::kindOf(o);
  static constexpr const char* kKinds[] = {"", "transient", "permanent", "local"};
  Texts texts = {{"Code", std::string(smtp::replyCodeOf(o))}};
  if (const std::string_view enhanced = smtp::enhancedCodeOf(o); !enhanced.empty()) texts.emplace_back("EnhancedCode", enhanced);
  texts.emplace_back("Kind", kKinds[static_cast<int>(kind)]);
  texts.emplace_back("Step", smtp::stepName(o.step));
  if (o.step == SMTP_PROTO_RCPT && !o.recipient.empty()) texts.emplace_back("Recipient", o.recipient);
  texts.emplace_back(schema::kAttemptsElement, std::to_string(o.step == smtp::kNoStep ? 0 : o.attempts));
  return texts;
}

// The receipt: the server's reply to the mail data (one line, as a failure's reply is), where
// the mail went, how many recipients it was accepted for, over which TLS, after how many tries
// and how long.
Texts receiptTexts(const MailReport& report) {
  const smtp::Outcome& o = report.sent;
  const bool literal6 = report.server.find(':') != std::string_view::npos;
  std::string server = literal6 ? "[" + std::string(report.server) + "]" : std::string(report.server);
  server += ":" + std::to_string(report.port);
  std::string tls;
  if (o.tlsVersion != nullptr) tls = std::string(o.tlsVersion) + " " + (o.tlsCipher != nullptr ? o.tlsCipher : "");
  return {{"Reply", o.reply},
          {"Server", std::move(server)},
          {"Recipients", std::to_string(report.recipients)},
          {"TLS", std::move(tls)},
          {schema::kAttemptsElement, std::to_string(o.attempts)},
          {"Milliseconds", std::to_string(report.milliseconds)}};
}

}  // namespace

HostMessage buildFailureMessage(int& rc, CciMessage* input, CciElement* root, const char* errorText,
                                const MailReport* detail) {
  CciElement* parent = nullptr;
  HostMessage failure = copyOf(rc, input, root, parent);
  if (detail != nullptr) addFolder(rc, parent, schema::kErrorDetailElement, detailTexts(*detail));
  addValue(rc, addNamed(rc, parent, constSendMailError), errorText);
  return failure;
}

HostMessage buildReceiptMessage(int& rc, CciMessage* input, CciElement* root, const MailReport& report) {
  CciElement* parent = nullptr;
  HostMessage copy = copyOf(rc, input, root, parent);
  addFolder(rc, parent, schema::kReceiptElement, receiptTexts(report));
  return copy;
}

}  // namespace evaluation
