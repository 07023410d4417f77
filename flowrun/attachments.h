// Attachment data given in a message file as base64 text or as a file reference, turned into
// the byte-array values a broker would hand the node; and warnings about header fields the node
// will not send.
#ifndef FLOWRUN_ATTACHMENTS_H
#define FLOWRUN_ATTACHMENTS_H

#include <ostream>
#include <vector>

#include "messages.h"

namespace flowrun {

// For every attachment's Data with a "Base64" child (the bytes as base64 text) or a "File"
// child (a file, relative to the message's document), sets the bytes as Data's value. A message
// whose data cannot be had (bad base64, a file that cannot be read) moves to `errors`, named.
// Header fields the node skips are reported on `warnings`.
void resolveAttachments(std::vector<InputMessage>& messages, std::vector<InputError>& errors, std::ostream& warnings);

}  // namespace flowrun

#endif
