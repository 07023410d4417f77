// Attachment data given in a message file as base64 text or as a file reference, turned into
// the byte-array values a broker would hand the node.
#ifndef FLOWRUN_ATTACHMENTS_H
#define FLOWRUN_ATTACHMENTS_H

#include <vector>

#include "messages.h"

namespace flowrun {

// For every attachment's Data with a "Base64" child (the bytes as base64 text) or a "File"
// child (a file, relative to the message's document), sets the bytes as Data's value. A message
// whose data cannot be had (bad base64, a file that cannot be read) moves to `errors`, named.
void resolveAttachments(std::vector<InputMessage>& messages, std::vector<InputError>& errors);

}  // namespace flowrun

#endif
