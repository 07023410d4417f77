// Private to the runner's readers: what the XML and JSON readers share with the file reading
// of input.cpp, and the contract each reader keeps.
#ifndef FLOWRUN_FORMATS_H
#define FLOWRUN_FORMATS_H

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "memhost.h"
#include "messages.h"

namespace flowrun {

class Warnings;

// Documents nest no deeper than this: a mail needs a handful of levels, and the tree is built,
// copied and written by recursion.
inline constexpr int kMaxDepth = 256;

// Where a reader puts what it read.
struct Reading {
  std::vector<InputMessage>& out;
  std::vector<InputError>& errors;
  Warnings& warnings;
};

// A message the reader cannot make (too deep, a name that is no element name): reported as an
// input error for that one message.
struct InputProblem : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- messages.cpp

// Adds one message to `reading`: root -> "Properties", then the body folder `bodyFolder`, which
// `fill` fills. A fill that throws InputProblem makes the message an input error instead.
void addMessage(const std::string& label, const char* bodyFolder, const std::function<void(memhost::Element&)>& fill,
                Reading& reading);

// ---- xml_format.cpp

// Reads one XML document of `size` bytes at `data`, in the encoding its byte-order mark or
// declaration names. With `inPlace` the parser works in `data` itself (which it changes);
// `original` gives the untouched text again, to name the line of a syntax error.
void readXml(const std::string& label, char* data, std::size_t size, bool inPlace,
             const std::function<std::string()>& original, Reading& reading);

// True when `name` can be written as an element name (an XML Name without a colon).
bool isXmlName(std::string_view name);

// ---- json_format.cpp

// Reads one JSON document: an object is one message, an array of objects one message each.
void readJson(const std::string& label, const std::string& text, Reading& reading);

}  // namespace flowrun

#endif
