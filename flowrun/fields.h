// The runner's copy of the names the node reads: the message fields (the runner's readers and
// its warnings about ignored fields take them from here) and the priority names. The node keeps
// its own table (sendmail/MailFields.cpp, fieldNamed), so a new field is a row in both.
#ifndef FLOWRUN_FIELDS_H
#define FLOWRUN_FIELDS_H

#include <string_view>

namespace flowrun {

enum class FieldRole { Sender, Recipients, Subject, Body, Headers, Attachment };

struct NodeField {
  std::string_view name;
  FieldRole role;
};

// Names are compared in full and case-sensitively, as the node compares them.
inline constexpr NodeField kNodeFields[] = {
    {"From", FieldRole::Sender},        {"MailFrom", FieldRole::Sender},
    {"To", FieldRole::Recipients},      {"MailTo", FieldRole::Recipients},
    {"Cc", FieldRole::Recipients},      {"MailCc", FieldRole::Recipients},
    {"Bcc", FieldRole::Recipients},     {"MailBcc", FieldRole::Recipients},
    {"Subject", FieldRole::Subject},    {"MailSubject", FieldRole::Subject},
    {"Body", FieldRole::Body},          {"MailBody", FieldRole::Body},
    {"ReplyTo", FieldRole::Recipients}, {"MailReplyTo", FieldRole::Recipients},
    {"Html", FieldRole::Body},          {"MailHtml", FieldRole::Body},
    {"Header", FieldRole::Headers},     {"MailHeader", FieldRole::Headers},
    {"Attachment", FieldRole::Attachment}, {"MailAttachment", FieldRole::Attachment},
};

inline const NodeField* nodeField(std::string_view name) {
  for (const NodeField& field : kNodeFields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

// The values of attribute Priority the node knows; any other one gives "Normal".
inline constexpr std::string_view kPriorityNames[] = {"Highest", "High", "Normal", "Low", "Lowest"};

// The element the node adds to a failure copy. A reader drops it from under the top element:
// the node never reads it, and a copy fed back in would otherwise carry a stale reason on.
inline constexpr std::string_view kErrorField = "SendMailError";

}  // namespace flowrun

#endif
