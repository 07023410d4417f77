// Shared by the pieces of the evaluate callback: the host return-code rule, and the records
// that carry one evaluation's node settings, mail fields, descriptor texts and failure message.
// Everything an evaluation allocates lives in these records, so every way out releases it.
#ifndef SENDMAIL_EVALUATE_INTERNAL_H
#define SENDMAIL_EVALUATE_INTERNAL_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SendMailPlugIn.h"
#include "SimpleSMTP/smtp_submit.h"
#include "c_memory.h"
#include "host/cni_host.h"
#include "host_text.h"
#include "node_context.h"

// The number of a priority name (Highest 1 .. Lowest 5, any other 3), and the text of an error
// the evaluation itself finds.
int GetPriorityNumber(const CciChar* text);
const char* getErrorString(int code);

namespace evaluation {

// Thrown to end an evaluation after a host error: nothing is propagated and nothing is logged.
struct EndEvaluation {};

// Passes the host's pending exception back to it. A host that unwinds does so through our
// frames; the flag lets evaluate tell that unwinding apart from its own failures.
void reraiseHostException();
bool takeHostExceptionInFlight() noexcept;

// The host return-code rule for a checked call: 0 goes on, 64 re-raises and goes on (when
// the host returns), anything else ends the evaluation.
inline void check(int rc) {
  if (rc == CCI_SUCCESS) return;
  if (rc == CCI_EXCEPTION) {
    reraiseHostException();
    return;
  }
  throw EndEvaluation{};
}

template <class T>
T checked(const int& rc, T result) {
  check(rc);
  return result;
}

// Units of the buffer an element's name is read into.
constexpr int kNameUnits = 512;

// Reads an element's name (a checked call); the name stays terminated whatever the host left.
inline void readName(int& rc, CciElement* element, CciChar (&name)[kNameUnits]) {
  name[0] = 0;
  cniElementName(&rc, element, name, kNameUnits);
  check(rc);
  name[kNameUnits - 1] = 0;
}

// The node settings one evaluation uses. Once the context's settings are complete they never
// change again and the pointers refer to the context; before that another evaluation may
// replace them, so this evaluation works on its own copies.
struct NodeSettings {
  const char* serverName = nullptr;
  uint16_t serverPort = 25;
  const char* fromAddress = nullptr;
  const char* bcc = nullptr;
  int8_t priority = 3;
  const smtp::SubmitOptions* submit = nullptr;  // the context's, once the settings are loaded
  bool failureDetail = false, receipt = false;  // FailureDetail, Receipt

  std::string serverNameCopy;
  std::string fromAddressCopy;
  std::string bccCopy;
};
void loadNodeSettings(NodeContext& context, NodeSettings& settings);

// The node's trace sink (attribute Trace): each entry one cciLog of type information, with the
// entry's text, the server and the connection's number (Evaluate.cpp).
void logTrace(smtp::TraceKind kind, std::string_view server, unsigned long connection, std::string_view text) noexcept;

// A body text from malloc, or (a large one, converted where it was read) from a mapping of
// `mapped` bytes.
struct BodyRelease {
  std::size_t mapped = 0;
  void operator()(char* text) const noexcept;
};
using BodyText = std::unique_ptr<char, BodyRelease>;

// A Body or Html field: the lines of its children, or its own value when it has none.
struct BodyField {
  StringBuffer lines;
  BodyText text;
  bool isLines = false;

  const char* data() const {
    if (isLines) return lines ? lines->data : nullptr;
    return text.get();
  }
  std::string_view view() const {
    if (isLines) return lines ? std::string_view{lines->data, lines->length} : std::string_view{};
    return text ? std::string_view{text.get()} : std::string_view{};
  }
};

// The mail fields read from the children of the body's top element.
struct MailFields {
  CString from;
  CString subject;
  StringBuffer to;
  StringBuffer cc;
  StringBuffer bcc;
  BodyField bodyField;

  const char* body() const { return bodyField.data(); }

  // Rich content: ReplyTo, Html, Header and Attachment fields, and the storage that the views
  // of `rich` point into.
  StringBuffer replyTo;
  BodyField html;
  smtp::RichMail rich;
  std::deque<std::string> texts;  // header names and values, attachment names and types
  std::vector<BodyText> blobs;    // attachment data

  // The rich content for the mail request (empty when the message has none of its fields); its
  // views point into this record.
  smtp::RichMail takeRich();

  // The mail's own bearer token (AccessToken), used for AUTH instead of the node's; the last
  // one wins, and an empty one counts as none. Wiped when the fields go.
  std::string accessToken;
  MailFields() = default;
  MailFields(const MailFields&) = delete;
  MailFields& operator=(const MailFields&) = delete;
  ~MailFields();
};
void readMailFields(int& rc, CciElement* root, MailFields& fields);

// Appends `text` to a recipient list, creating it at the first value.
void appendToList(StringBuffer& list, const char* text);

// The date and message-id texts from the descriptor folder (or the current time).
struct DescriptorTexts {
  char date[128] = {};
  char messageId[64] = {};
};
void readDescriptor(int& rc, CciElement* root, DescriptorTexts& texts);
// The current UTC time as the mail's date text, with English month names whatever the locale.
void formatCurrentDate(char (&date)[128]);

struct HostMessageDeleter {
  void operator()(CciMessage* m) const noexcept { cniDeleteMessage(nullptr, m); }
};
using HostMessage = std::unique_ptr<CciMessage, HostMessageDeleter>;

// What the client told of one mail beside its code and text, kept when the node shows a
// failure's detail or a delivery's receipt (FailureDetail, Receipt).
struct MailReport {
  smtp::Outcome sent;
  std::string_view server;  // the server's name and port
  uint16_t port = 0;
  int recipients = 0;           // RCPT TO sent, all accepted when the mail went
  long long milliseconds = 0;   // from handing the mail to the client to its outcome
};

// A copy of the input message with "SendMailError" holding `errorText`, just after a folder
// "SendMailErrorDetail" when `detail` is given.
HostMessage buildFailureMessage(int& rc, CciMessage* input, CciElement* root, const char* errorText,
                                const MailReport* detail = nullptr);
// A copy of the input message with a folder "SendMailReceipt" where a failure's reason goes.
HostMessage buildReceiptMessage(int& rc, CciMessage* input, CciElement* root, const MailReport& report);

// ---- LargeValue.cpp: reading element values of a megabyte and more, and their UTF-8.

// A value at least this long is read into a mapping of its own and converted in steps.
inline constexpr std::size_t kMappedUnits = std::size_t{1} << 20;

// UTF-8 of the NUL-terminated `units` into `out` (`room` bytes, terminated). Returns the bytes
// written. A converter that fails leaves the empty text, as the node's string helpers do.
std::size_t toUtf8(const CciChar* units, char* out, std::size_t room);
// utf8Room, or std::bad_alloc when the room is more than the host's converter can count.
std::size_t hostUtf8Room(std::size_t units);

// A large value's UTF-16 copy in a private mapping, released from the front as it is used.
class MappedUnits {
 public:
  explicit MappedUnits(std::size_t units);  // room for `units` and a terminator; bad_alloc
  ~MappedUnits();
  MappedUnits(const MappedUnits&) = delete;
  MappedUnits& operator=(const MappedUnits&) = delete;

  CciChar* units() const { return base_; }
  int capacity() const;  // in units, at most INT32_MAX
  // Gives back every whole page before unit `done`.
  void releaseBefore(std::size_t done);
  // Hands the first `used` bytes (and the rest of their last page) over as a text; the rest of
  // the mapping goes back to the system.
  BodyText takeFront(std::size_t used);

 private:
  CciChar* base_ = nullptr;
  std::size_t bytes_;
  std::size_t released_ = 0;
};

// Converts a mapped value of `length` units step by step (never splitting a surrogate pair),
// stopping at its first NUL unit like every other conversion. With `inPlace` the text is
// written over the units already converted, in the mapping itself, while it stays behind them
// (as text of one- and two-byte characters does), so a large body costs no second buffer;
// otherwise, or from the step where it would not, it goes to a buffer of its own while the
// converted pages go back.
BodyText convertMapped(MappedUnits& mapped, std::size_t length, bool inPlace);

}  // namespace evaluation

#endif
