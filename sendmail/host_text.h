// The hidden helpers behind the exported string functions: host text converted through the
// host's converters into blocks of a given size, the UTF-8 room UTF-16 text needs, and the
// growth of the node string buffer. Nothing declared here is exported.
#ifndef SENDMAIL_HOST_TEXT_H
#define SENDMAIL_HOST_TEXT_H

#include <stdint.h>

#include <cstddef>

#include "host/cni_host.h"
#include "node_utils.h"

// Both allocate a zero-filled block, convert into it through the host's converter and terminate
// it in its last element, so that a converter that fails leaves the empty text rather than
// uninitialised memory; null when the block cannot be had.
// `s` as CciChar units, in `units` units, the converter writing at most `limit` of them.
CciChar* convertToUnits(const char* s, std::size_t units, std::size_t limit);
// `s` as UTF-8 text in `bytes` bytes.
char* convertToUtf8(const CciChar* s, std::size_t bytes);

// Bytes of UTF-8 that always hold `units` UTF-16 units, terminator included: a BMP character
// takes at most three bytes for its one unit, a surrogate pair four for its two, and U+FFFD
// (what a lone surrogate becomes) three for one.
constexpr std::size_t utf8Room(std::size_t units) { return 3 * units + 1; }

// Grows the buffer's storage to hold at least `n` more bytes (ends the process when it cannot).
void NodeStringBufferResize(NodeStringBuffer* buffer, uint32_t n);

#endif
