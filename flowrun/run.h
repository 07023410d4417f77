// The runner's evaluation loop: every input message, repeated and spread over threads, goes
// through the node's evaluate; each outcome (the terminal it left by, or none) is reported on
// one line, optionally written to a folder per terminal, and counted for the summary.
#ifndef FLOWRUN_RUN_H
#define FLOWRUN_RUN_H

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "memhost.h"
#include "messages.h"

namespace flowrun {

struct RunOptions {
  std::size_t repeat = 1;
  unsigned threads = 1;
  bool quiet = false;    // no line per message
  bool verbose = false;  // the node's log entries under each message
  std::string outDir;    // when set, each propagated message as DIR/<terminal>/<name>.xml
  DescriptorOptions descriptor;
  std::vector<std::string> detach;  // output terminals left unattached
};

struct RunSummary {
  std::size_t out = 0;
  std::size_t failure = 0;
  std::size_t dropped = 0;  // no propagation: terminal not attached or not there
  std::size_t ended = 0;    // no propagation for any other reason
  double seconds = 0;

  std::size_t total() const { return out + failure + dropped + ended; }
};

// Runs every input through the node. `lines` gets one line per message and the summary.
// Returns false (with `error` set) when the run could not start, e.g. the out folder.
bool runMessages(memhost::Node& node, const std::vector<InputMessage>& inputs, const RunOptions& options,
                 std::ostream& lines, RunSummary& summary, std::string& error);

std::string summaryLine(const RunSummary& summary);

}  // namespace flowrun

#endif
