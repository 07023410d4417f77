// The evaluation loop of the runner. Each worker thread takes the next message, makes a fresh
// input tree for it and calls evaluate on the one node instance; the terminals' sinks and the
// host's log sink run on the evaluating thread, so each outcome is known to its evaluation.
#include "run.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "capture.h"
#include "node_schema.h"
#include "out_files.h"
#include "report.h"

namespace flowrun {
namespace {

using Clock = std::chrono::steady_clock;

// What one evaluation did, filled by the sinks while evaluate runs on this thread.
struct Evaluation {
  const InputMessage* input = nullptr;
  std::string label;
  std::string fileStem;
  std::string terminal;  // empty: nothing propagated
  std::string error;     // "SendMailError" of a failure message
  int attempts = 0;      // the tries a detail or receipt counts
  std::vector<memhost::LogEntry> log;    // kept only when they are shown
  std::vector<memhost::LogEntry> trace;  // the node's trace entries, with --trace
  bool notConnected = false;             // the node logged "Terminal not connected"
  std::string writeError;
  std::string shown;  // lines under the message's line: the mail a dry run captured
};

thread_local Evaluation* current = nullptr;

// The file name of a message without its extension: the input file's name without its own,
// and "-n" for the n-th message of a JSON array ("orders.json#3" gives "orders-3").
std::string fileStem(const std::string& label) {
  std::string stem = std::filesystem::path(label).filename().string();
  std::string index;
  if (auto hash = stem.rfind('#'); hash != std::string::npos && hash + 1 < stem.size() &&
                                   stem.find_first_not_of("0123456789", hash + 1) == std::string::npos) {
    index = "-" + stem.substr(hash + 1);
    stem.erase(hash);
  }
  if (auto dot = stem.rfind('.'); dot != std::string::npos && dot > 0) stem.erase(dot);
  stem += index;
  for (char& c : stem) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  }
  return stem.empty() ? "message" : stem;
}

bool isTraceEntry(const memhost::LogEntry& entry) {
  return entry.inserts.size() == 3 &&
         (entry.line == schema::kTraceSentLine || entry.line == schema::kTraceReceivedLine ||
          entry.line == schema::kTraceNoteLine);
}

// The node's trace entries of one message as swaks shows a dialogue: "->" what went out, "<-"
// what came back, "==" a note, and a line naming the connection each time it changes.
std::string traceLines(const std::vector<memhost::LogEntry>& entries) {
  std::string text, connection;
  for (const memhost::LogEntry& entry : entries) {
    if (entry.inserts[2] != connection) {
      connection = entry.inserts[2];
      text += "  == connection " + printable(connection) + " to " + printable(entry.inserts[1]) + '\n';
    }
    const char* arrow = entry.line == schema::kTraceSentLine ? "  -> " : entry.line == schema::kTraceReceivedLine ? "  <- " : "  == ";
    text += arrow + printable(entry.inserts[0]) + '\n';
  }
  return text;
}

// More distinct failure reasons than this are counted together.
constexpr std::size_t kMaxReasons = 1000;

class Runner {
 public:
  Runner(memhost::Node& node, const std::vector<InputMessage>& inputs, const RunOptions& options, std::ostream& lines,
         std::ostream& errors)
      : node_(node), inputs_(inputs), options_(options), lines_(lines), errors_(errors) {}

  bool prepare(std::string& error) {
    for (const std::string& name : options_.detach) {
      memhost::Terminal* terminal = node_.terminal(name);
      if (terminal == nullptr || terminal->isInput()) {
        error = "the node has no output terminal " + name;
        return false;
      }
      terminal->setAttached(false);
    }
    for (const auto& terminal : node_.terminals()) {
      if (terminal->isInput()) continue;
      std::string name = terminal->nameUtf8();
      if (!options_.outDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(options_.outDir) / name, ec);
        if (ec) {
          error = "cannot make " + (std::filesystem::path(options_.outDir) / name).string() + ": " + ec.message();
          return false;
        }
      }
      terminal->setSink([this, name](memhost::Message& message, CciMessage*, CciMessage*) {
        return received(name, message);
      });
    }
    memhost::Host::instance().setLogSink([this](const memhost::LogEntry& entry) {
      if (current == nullptr) return;
      current->notConnected |= !entry.inserts.empty() && entry.inserts[0] == "Terminal not connected";
      if (options_.trace && isTraceEntry(entry)) {
        current->trace.push_back(entry);
      } else if (options_.verbose) {
        current->log.push_back(entry);
      }
    });
    return true;
  }

  void run(RunSummary& summary) {
    total_ = inputs_.size() * options_.repeat;
    auto start = Clock::now();
    std::thread progress;
    if (isatty(STDERR_FILENO) && total_ > 1) progress = std::thread([this, start] { showProgress(start); });

    unsigned threads = std::max(1u, options_.threads);
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < threads; ++i) workers.emplace_back([this] { work(); });
    work();
    for (auto& w : workers) w.join();

    {
      std::lock_guard<std::mutex> lock(doneMutex_);
      finished_ = true;
    }
    doneSignal_.notify_all();
    if (progress.joinable()) progress.join();

    summary = summary_;
    summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    summary.reasons.assign(reasons_.begin(), reasons_.end());
    std::stable_sort(summary.reasons.begin(), summary.reasons.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    summary.notRun = total_ - done_.load();
    summary.dryRun = options_.capture != nullptr;
    writeNotRun(summary);
    memhost::Host::instance().setLogSink(nullptr);
    for (const auto& terminal : node_.terminals()) {
      if (!terminal->isInput()) terminal->setSink(nullptr);
    }
  }

 private:
  int received(const std::string& terminal, memhost::Message& message) {
    Evaluation* e = current;
    if (e == nullptr) return 0;
    e->terminal = terminal;
    if (terminal == schema::kFailureTerminal) e->error = sendMailError(message);
    if (!options_.quiet) e->attempts = attemptsOf(message);
    if (options_.retry) {
      retried(*e, message);
    } else if (!options_.outDir.empty()) {
      e->writeError = writeNewFile(std::filesystem::path(options_.outDir) / terminal, e->fileStem, toXml(message));
    }
    return 0;
  }

  // A retried message's file moves to the folder of its terminal in one rename (delivered, to
  // out/, where a second retry never finds it; failed again, to failure/ when it came from
  // notrun/), then holds what went there: the message as delivered, or its new failure copy.
  void retried(Evaluation& e, memhost::Message& message) {
    const std::filesystem::path folder = std::filesystem::path(options_.outDir) / e.terminal;
    std::filesystem::path target = e.input->path;
    std::error_code ec;
    if (!std::filesystem::equivalent(target.parent_path(), folder, ec)) {
      e.writeError = moveFile(e.input->path, folder, &target);
    }
    if (e.writeError.empty()) e.writeError = replaceFile(target, toXml(message));
  }

  // The label and file stem of the i-th evaluation: input i % n in round i / n + 1.
  void name(std::size_t i, Evaluation& e) const {
    e.label = inputs_[i % inputs_.size()].label;
    e.fileStem = fileStem(e.label);
    if (options_.repeat > 1) {
      std::string number = std::to_string(i / inputs_.size() + 1);
      e.label.append(" [").append(number).append("]");
      e.fileStem.append(".").append(number);
    }
  }

  // After a stop, each message not run in a file of its own in DIR/notrun/, which a later run
  // feeds (a retry also leaves its own inputs where they are, so it writes none).
  void writeNotRun(RunSummary& summary) {
    const std::size_t first = std::min(next_.load(), total_);
    if (first == total_ || options_.outDir.empty() || options_.retry) return;
    const std::filesystem::path dir = std::filesystem::path(options_.outDir) / "notrun";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (std::size_t i = first; i < total_; ++i) {
      Evaluation e;
      name(i, e);
      if (std::string error = writeNewFile(dir, e.fileStem, toXml(*inputs_[i % inputs_.size()].message)); !error.empty()) {
        ++summary.unwritten;
        errors_ << "flowrun: " << printable(e.label) << ": " << printable(error) << '\n' << std::flush;
      }
    }
    summary.notRunDir = dir.string();
  }

  void work() {
    memhost::Host& host = memhost::Host::instance();
    const std::size_t n = inputs_.size();
    // The tree this worker sent last, and its changes then: the same input next (--repeat with
    // one input, or a worker of several) goes again on that tree with a new descriptor, since
    // evaluate leaves its input as it was; a tree changed meanwhile is made anew.
    std::unique_ptr<memhost::Message> message;
    const InputMessage* sent = nullptr;
    std::uint64_t changes = 0;
    for (;;) {
      if (options_.stop != nullptr && options_.stop->load() != 0) return;
      std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= total_) return;
      const InputMessage& input = inputs_[i % n];

      // Names are made only where they are shown or used: a quiet run in memory needs none.
      Evaluation evaluation;
      evaluation.input = &input;
      if (!options_.quiet || !options_.outDir.empty()) name(i, evaluation);
      if (sent == &input && message->changes() == changes) {
        renewDescriptor(*message, options_.descriptor);
      } else {
        message = instantiate(*input.message, options_.descriptor, host);
        sent = &input;
      }
      changes = message->changes();
      current = &evaluation;
      node_.evaluate(*message);
      current = nullptr;
      if (options_.capture != nullptr) evaluation.shown = options_.capture->take();
      report(evaluation);
      done_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  void report(const Evaluation& e) {
    std::string outcome;
    std::lock_guard<std::mutex> lock(linesMutex_);
    if (e.terminal == schema::kOutTerminal) {
      ++summary_.out;
      outcome = schema::kOutTerminal;
    } else if (!e.terminal.empty()) {
      ++summary_.failure;
      std::string reason = printable(e.error, true);
      outcome = e.terminal + ": " + reason;
      if (reasons_.size() < kMaxReasons || reasons_.count(reason) != 0) {
        ++reasons_[reason];
      } else {
        ++summary_.otherReasons;
      }
    } else if (e.notConnected) {
      ++summary_.dropped;
      outcome = "dropped (terminal not connected)";
    } else if (!options_.detach.empty()) {
      ++summary_.dropped;
      outcome = "dropped (not attached)";
    } else {
      ++summary_.ended;
      outcome = "ended (nothing propagated)";
    }
    if (!e.writeError.empty()) {
      ++summary_.unwritten;
      errors_ << "flowrun: " << printable(e.label) << ": " << printable(e.writeError) << '\n' << std::flush;
    }
    if (options_.quiet) return;
    std::ostringstream text;
    text << printable(e.label) << " -> " << outcome;
    if (e.attempts > 1) text << " (" << e.attempts << " attempts)";
    text << '\n' << e.shown << traceLines(e.trace);
    if (options_.verbose) {
      for (const auto& entry : e.log) {
        text << "  log: type " << entry.type << ' ' << printable(entry.sourceFile) << ':' << entry.line;
        for (const auto& insert : entry.inserts) text << ' ' << printable(insert);
        text << '\n';
      }
    }
    lines_ << text.str() << std::flush;
  }

  void showProgress(Clock::time_point start) {
    std::unique_lock<std::mutex> lock(doneMutex_);
    bool shown = false;
    while (!doneSignal_.wait_for(lock, std::chrono::milliseconds(250), [this] { return finished_; })) {
      double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (seconds < 1.0) continue;
      std::size_t done = done_.load(std::memory_order_relaxed);
      std::fprintf(stderr, "\r%zu/%zu messages, %.0f/s ", done, total_, done / seconds);
      shown = true;
    }
    if (shown) std::fprintf(stderr, "\r\033[K");
  }

  memhost::Node& node_;
  const std::vector<InputMessage>& inputs_;
  const RunOptions& options_;
  std::ostream& lines_;
  std::ostream& errors_;
  std::size_t total_ = 0;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> done_{0};
  std::mutex linesMutex_;
  RunSummary summary_;
  std::map<std::string, std::size_t> reasons_;
  std::mutex doneMutex_;
  std::condition_variable doneSignal_;
  bool finished_ = false;
};

}  // namespace

bool runMessages(memhost::Node& node, const std::vector<InputMessage>& inputs, const RunOptions& options,
                 std::ostream& lines, std::ostream& errors, RunSummary& summary, std::string& error) {
  Runner runner(node, inputs, options, lines, errors);
  if (!runner.prepare(error)) return false;
  runner.run(summary);
  return true;
}

std::string summaryLine(const RunSummary& s) {
  char text[256];
  double rate = s.seconds > 0 ? static_cast<double>(s.total()) / s.seconds : 0.0;
  std::snprintf(text, sizeof text, ": %zu out, %zu failure, %zu dropped, %zu ended; %.3f s, %.1f messages/s", s.out,
                s.failure, s.dropped, s.ended, s.seconds, rate);
  std::string line = counted(s.total(), "message") + text;
  if (s.unwritten > 0) line += "; " + std::to_string(s.unwritten) + " not written";
  if (s.notRun > 0) {
    line += "; stopped, " + std::to_string(s.notRun) + " not run";
    if (!s.notRunDir.empty()) line += " (written to " + printable(s.notRunDir) + "/)";
  }
  if (s.dryRun) line += "; dry run: nothing sent";
  return line;
}

std::string reasonLines(const RunSummary& s) {
  if (s.failure == 0) return {};
  std::string text = "failures by reason:\n";
  for (const auto& [reason, count] : s.reasons) text += "  " + std::to_string(count) + "  " + reason + '\n';
  if (s.otherReasons > 0) text += "  " + std::to_string(s.otherReasons) + "  (other reasons)\n";
  return text;
}

}  // namespace flowrun
