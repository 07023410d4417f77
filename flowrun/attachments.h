// Attachment data given in a message file as base64 text or as a file reference, turned into
// the byte-array values a broker would hand the node.
#ifndef FLOWRUN_ATTACHMENTS_H
#define FLOWRUN_ATTACHMENTS_H

#include <string>
#include <vector>

#include "messages.h"

namespace flowrun {

// The children of an attachment's Data that say where its bytes are.
inline constexpr const char* kBase64 = "Base64";
inline constexpr const char* kFile = "File";

// `bytes` as base64 in lines of 76 characters, as a message file's Base64 child holds them.
std::string encodeBase64(const std::vector<uint8_t>& bytes);

// For every attachment's Data with a "Base64" child (the bytes as base64 text) or a "File"
// child (a file, relative to the message's document), sets the bytes as Data's value. A message
// whose data cannot be had (bad base64, a file that cannot be read), or whose attachment would
// go out empty (no Data, empty data, a Data child the runner does not know), moves to `errors`.
void resolveAttachments(std::vector<InputMessage>& messages, std::vector<InputError>& errors);

}  // namespace flowrun

#endif
