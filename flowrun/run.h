// The runner's evaluation loop: every input message, repeated and spread over threads, goes
// through the node's evaluate; each outcome (the terminal it left by, or none) is reported on
// one line, optionally written to a folder per terminal, and counted for the summary.
#ifndef FLOWRUN_RUN_H
#define FLOWRUN_RUN_H

#include <atomic>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "memhost.h"
#include "messages.h"

namespace flowrun {

class CaptureServer;

struct RunOptions {
  std::size_t repeat = 1;
  unsigned threads = 1;
  bool quiet = false;    // no line per message
  bool verbose = false;  // the node's log entries under each message
  bool trace = false;    // the node's trace of the dialogue under each message
  std::string outDir;    // when set, each propagated message in a new file DIR/<terminal>/<name>.xml,
                         // and after a stop each message not run in DIR/notrun/
  // The inputs are the files of outDir's failure/ and notrun/ folders, one message each: a
  // delivered one moves to out/, one that fails again is replaced by its new failure copy in
  // failure/, and nothing else is written.
  bool retry = false;
  CaptureServer* capture = nullptr;  // a dry run: the mail the node sent, shown under its line
  DescriptorOptions descriptor;
  std::vector<std::string> detach;  // output terminals left unattached
  // Made nonzero (the number of the signal that came) to stop taking messages; evaluations
  // under way still finish and count.
  const std::atomic<int>* stop = nullptr;
};

struct RunSummary {
  std::size_t out = 0;
  std::size_t failure = 0;
  std::size_t dropped = 0;  // no propagation: terminal not attached or not there
  std::size_t ended = 0;    // no propagation for any other reason
  std::size_t unwritten = 0;  // propagated, but its --out file could not be written
  std::size_t notRun = 0;     // not taken because the run was stopped
  std::string notRunDir;      // where they were written, if they were
  double seconds = 0;
  bool dryRun = false;
  // The failures' reasons with their counts, the most frequent first; `otherReasons` counts
  // failures whose reason came after the table was full.
  std::vector<std::pair<std::string, std::size_t>> reasons;
  std::size_t otherReasons = 0;

  std::size_t total() const { return out + failure + dropped + ended; }
};

// Runs every input through the node. `lines` gets one line per message; `errors` each file
// that could not be written, even in a quiet run. Returns false (with `error` set) when the
// run could not start, e.g. the out folder.
bool runMessages(memhost::Node& node, const std::vector<InputMessage>& inputs, const RunOptions& options,
                 std::ostream& lines, std::ostream& errors, RunSummary& summary, std::string& error);

// "N messages: ..." on one line, then the failures grouped by reason, one line each.
std::string summaryLine(const RunSummary& summary);
std::string reasonLines(const RunSummary& summary);

}  // namespace flowrun

#endif
