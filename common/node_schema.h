// The node's names, one row each, as the plug-in, the in-memory host and the runner use them:
// its attributes in index order (what an empty value stands for, whether it is secret), the
// message fields it reads, the priority names, its terminals and the elements it reads and
// writes. The node builds its attribute table and constants from here, the runner its readers.
#ifndef COMMON_NODE_SCHEMA_H
#define COMMON_NODE_SCHEMA_H

#include <cstddef>
#include <string_view>

namespace schema {

// ROW(name, what an empty value stands for ("" when nothing), secret). Index order: the twelve
// attributes of the node, then those of secure submission, of kept connections, the trace, of
// OAuth2 and client certificates, and of a provider's limits with the outcomes a flow routes on;
// a new one goes at the end. Every attribute is a string and starts empty. A secret value is
// never shown: listings mask it, and no failure text, log entry or trace carries it.
#define SM_NODE_ATTRIBUTES(ROW)            \
  ROW(Bcc, "", false)                      \
  ROW(Priority, "Normal", false)           \
  ROW(SetPriority, "", false)              \
  ROW(ServerName, "", false)               \
  ROW(ServerPort, "25", false)             \
  ROW(SMTPFrom, "", false)                 \
  ROW(SMTPFullFrom, "", false)             \
  ROW(C, "", false)                        \
  ROW(F, "", false)                        \
  ROW(f, "", false)                        \
  ROW(h, "", false)                        \
  ROW(X, "", false)                        \
  ROW(Security, "", false)                 \
  ROW(TLSVerify, "yes", false)             \
  ROW(TLSCAFile, "", false)                \
  ROW(TimeoutSeconds, "", false)           \
  ROW(SMTPUser, "", false)                 \
  ROW(SMTPPassword, "", true)              \
  ROW(ConnectionReuse, "", false)          \
  ROW(MaxMailsPerConnection, "100", false) \
  ROW(IdleSeconds, "30", false)            \
  ROW(Trace, "", false)                    \
  ROW(SMTPAuth, "", false)                 \
  ROW(OAuthTokenURL, "", false)            \
  ROW(OAuthClientId, "", false)            \
  ROW(OAuthClientSecret, "", true)         \
  ROW(OAuthScope, "", false)               \
  ROW(OAuthRefreshToken, "", true)         \
  ROW(TLSClientCert, "", false)            \
  ROW(TLSClientKey, "", false)             \
  ROW(MaxConnections, "", false)           \
  ROW(MaxMailsPerMinute, "", false)        \
  ROW(RetryTransient, "0", false)          \
  ROW(RetryMaxSeconds, "60", false)        \
  ROW(FailureDetail, "", false)            \
  ROW(Receipt, "", false)

enum class Attribute : std::size_t {
#define SM_ATTRIBUTE_ID(name, whenEmpty, secret) name,
  SM_NODE_ATTRIBUTES(SM_ATTRIBUTE_ID)
#undef SM_ATTRIBUTE_ID
};

struct AttributeRow {
  const char* name;
  const char* whenEmpty;
  bool secret;
};

inline constexpr AttributeRow kAttributes[] = {
#define SM_ATTRIBUTE_ROW(name, whenEmpty, secret) {#name, whenEmpty, secret},
    SM_NODE_ATTRIBUTES(SM_ATTRIBUTE_ROW)
#undef SM_ATTRIBUTE_ROW
};

constexpr const AttributeRow& row(Attribute attribute) { return kAttributes[static_cast<std::size_t>(attribute)]; }
// C, F, f, h and X are kept and returned for flows that set them; the node reads none of them.
constexpr bool unused(Attribute attribute) { return attribute >= Attribute::C && attribute <= Attribute::X; }
constexpr const char* name(Attribute attribute) { return row(attribute).name; }

// The row of the attribute called `text`, or null.
constexpr const AttributeRow* attributeNamed(std::string_view text) {
  for (const AttributeRow& attribute : kAttributes) {
    if (text == attribute.name) return &attribute;
  }
  return nullptr;
}

// What a field is to the runner's readers and warnings.
enum class FieldRole { Sender, Recipients, Subject, Body, Headers, Attachment, Credential };

// ROW(name, role): the children of the body's top element the node reads, each also under its
// name with "Mail" before it. Names are compared in full and case-sensitively. The fields after
// Body up to Attachment are the rich ones: a message with none of them gives the mail it always
// gave. AccessToken is the mail's own bearer token for AUTH, never part of the mail.
#define SM_MESSAGE_FIELDS(ROW) \
  ROW(From, Sender)            \
  ROW(To, Recipients)          \
  ROW(Cc, Recipients)          \
  ROW(Bcc, Recipients)         \
  ROW(Subject, Subject)        \
  ROW(Body, Body)              \
  ROW(ReplyTo, Recipients)     \
  ROW(Html, Body)              \
  ROW(Header, Headers)         \
  ROW(Attachment, Attachment)  \
  ROW(AccessToken, Credential)

enum class Field {
#define SM_FIELD_ID(name, role) name,
  SM_MESSAGE_FIELDS(SM_FIELD_ID)
#undef SM_FIELD_ID
};

// Both forms of the name in UTF-8 and in UTF-16 (as the host hands names over).
struct FieldRow {
  const char* name;
  const char* mailName;
  const char16_t* name16;
  const char16_t* mailName16;
  Field field;
  FieldRole role;
};

inline constexpr FieldRow kFields[] = {
#define SM_FIELD_ROW(name, role) {#name, "Mail" #name, u"" #name, u"Mail" #name, Field::name, FieldRole::role},
    SM_MESSAGE_FIELDS(SM_FIELD_ROW)
#undef SM_FIELD_ROW
};

constexpr const FieldRow& row(Field field) { return kFields[static_cast<std::size_t>(field)]; }

// The row of the field called `text` (in either form), or null.
constexpr const FieldRow* fieldNamed(std::string_view text) {
  for (const FieldRow& field : kFields) {
    if (text == field.name || text == field.mailName) return &field;
  }
  return nullptr;
}

// The children of an Attachment folder the node reads; of repeated ones the last counts.
inline constexpr const char* kAttachmentName = "Name";
inline constexpr const char* kAttachmentContentType = "ContentType";
inline constexpr const char* kAttachmentData = "Data";

// The values of Priority the node knows, from 1 (Highest) to 5; any other one means Normal.
inline constexpr const char* kPriorityNames[] = {"Highest", "High", "Normal", "Low", "Lowest"};

// The node's terminals: one input, then its two outputs in the order it makes them.
inline constexpr const char* kInputTerminal = "in";
inline constexpr const char* kOutTerminal = "out";
inline constexpr const char* kFailureTerminal = "failure";

// The descriptor folder among the root's children, and the elements in it the node reads.
inline constexpr const char* kDescriptorFolder = "TVMD";
inline constexpr const char* kPutDate = "PutDate";
inline constexpr const char* kPutTime = "PutTime";
inline constexpr const char* kMsgId = "MsgId";

// The element the node adds to a failure copy, holding the reason.
inline constexpr const char* kErrorElement = "SendMailError";
// The folders a flow may ask for (FailureDetail, Receipt): the failure's detail, just before
// SendMailError, and the receipt of a delivered mail, in the same place of the copy sent to "out".
inline constexpr const char* kErrorDetailElement = "SendMailErrorDetail";
inline constexpr const char* kReceiptElement = "SendMailReceipt";
// Their element that counts the tries, which the runner reads back.
inline constexpr const char* kAttemptsElement = "Attempts";

// Whether `name` is one of the elements the node adds to what it sends on: a message fed back in
// starts without them.
constexpr bool isOutcomeElement(std::string_view name) {
  return name == kErrorElement || name == kErrorDetailElement || name == kReceiptElement;
}

// The reason of a message that names no recipient (the node connects to nobody for it).
inline constexpr const char* kNoRecipientsText = "No recipients found";

// The log entries of a trace (attribute Trace), of type information: one per command sent, per
// reply line received and per note (TLS started, the mail data's size), told apart by their line
// number. Each carries its text, then the server ("host:port") and the connection's number.
inline constexpr int kTraceSentLine = 1700;
inline constexpr int kTraceReceivedLine = 1701;
inline constexpr int kTraceNoteLine = 1702;

}  // namespace schema

#endif
