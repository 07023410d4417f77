// The runner's messages: XML and JSON documents read into message trees (the document's root
// becomes the body's top element, whose children are the mail fields), the descriptor folder
// filled as a queue manager would, and propagated messages written back as XML that the runner
// reads again.
#ifndef FLOWRUN_MESSAGES_H
#define FLOWRUN_MESSAGES_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "memhost.h"

namespace flowrun {

// One parsed input: a template tree (without descriptor) that each evaluation clones.
struct InputMessage {
  std::string label;  // file name, "file#n" for the n-th message of a JSON array, or "stdin"
  std::unique_ptr<memhost::Message> message;
  std::string path;  // the file it came from; empty for standard input
};

// A document that could not be read: the file, and the parser's line and reason.
struct InputError {
  std::string label;
  std::string reason;
};

class Warnings;

// Reads the files and folders named on the command line ("-" is standard input). Folders are
// read in name order, their *.xml and *.json files only. A document that cannot be read, or a
// message in it that cannot be made, is one error; warnings note what the reading dropped.
void readInputs(const std::vector<std::string>& paths, std::vector<InputMessage>& out,
                std::vector<InputError>& errors, Warnings& warnings);

// The descriptor a message gets: now and a fresh id, or what the user fixed.
struct DescriptorOptions {
  bool omit = false;
  std::optional<HostDate> putDate;
  std::optional<HostTime> putTime;
  std::optional<std::vector<uint8_t>> msgId;  // 24 bytes
};

// Parses "YYYY-MM-DD HH:MM:SS[.fff]" (or with a "T"); false when it is not such a time.
bool parsePutTime(const std::string& text, HostDate& date, HostTime& time);
// Parses 48 hex digits; false otherwise.
bool parseMsgId(const std::string& text, std::vector<uint8_t>& bytes);

// A new message for one evaluation: the descriptor folder "TVMD" with PutDate, PutTime and
// MsgId, then a copy of the template's body folder.
std::unique_ptr<memhost::Message> instantiate(const memhost::Message& input, const DescriptorOptions& options,
                                              memhost::Host& host);
// The same message made ready for another evaluation: its descriptor's values set anew, as
// instantiate would set them.
void renewDescriptor(memhost::Message& message, const DescriptorOptions& options);

// The body's top element of a message (the first child of its last folder), or null.
memhost::Element* topElement(const memhost::Message& message);

// The body's top element of a message as an XML document (the form readInputs reads).
std::string toXml(const memhost::Message& message);

// The "SendMailError" text of a failure message, or empty.
std::string sendMailError(const memhost::Message& message);
// The "Attempts" of the SendMailErrorDetail or SendMailReceipt the message carries, or 0.
int attemptsOf(const memhost::Message& message);

}  // namespace flowrun

#endif
