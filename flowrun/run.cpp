// The evaluation loop of the runner. Each worker thread takes the next message, makes a fresh
// input tree for it and calls evaluate on the one node instance; the terminals' sinks and the
// host's log sink run on the evaluating thread, so each outcome is known to its evaluation.
#include "run.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace flowrun {
namespace {

using Clock = std::chrono::steady_clock;

// What one evaluation did, filled by the sinks while evaluate runs on this thread.
struct Evaluation {
  std::string label;
  std::string fileStem;
  std::string terminal;  // empty: nothing propagated
  std::string error;     // "SendMailError" of a failure message
  std::vector<memhost::LogEntry> log;  // kept only when they are shown
  bool notConnected = false;           // the node logged "Terminal not connected"
  std::string writeError;
};

thread_local Evaluation* current = nullptr;

// One line of text for the terminal: the reply's line ends become blanks.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string fileStem(const std::string& label) {
  std::string stem = std::filesystem::path(label).filename().string();
  if (auto dot = stem.rfind('.'); dot != std::string::npos && dot > 0) stem.erase(dot);
  for (char& c : stem) {
    if (c == '/' || c == '#') c = '-';
  }
  return stem.empty() ? "message" : stem;
}

class Runner {
 public:
  Runner(memhost::Node& node, const std::vector<InputMessage>& inputs, const RunOptions& options, std::ostream& lines)
      : node_(node), inputs_(inputs), options_(options), lines_(lines) {}

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
    memhost::Host::instance().setLogSink([verbose = options_.verbose](const memhost::LogEntry& entry) {
      if (current == nullptr) return;
      current->notConnected |= !entry.inserts.empty() && entry.inserts[0] == "Terminal not connected";
      if (verbose) current->log.push_back(entry);
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
    if (terminal == "failure") e->error = sendMailError(message);
    if (!options_.outDir.empty()) {
      std::filesystem::path file = std::filesystem::path(options_.outDir) / terminal / (e->fileStem + ".xml");
      std::ofstream outFile(file, std::ios::binary | std::ios::trunc);
      outFile << toXml(message);
      if (!outFile) e->writeError = "cannot write " + file.string();
    }
    return 0;
  }

  void work() {
    memhost::Host& host = memhost::Host::instance();
    const std::size_t n = inputs_.size();
    for (;;) {
      std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= total_) return;
      const InputMessage& input = inputs_[i % n];
      std::size_t round = i / n + 1;

      // Names are made only where they are shown or used: a quiet run in memory needs none.
      Evaluation evaluation;
      const bool named = !options_.quiet || !options_.outDir.empty();
      if (named) {
        evaluation.label = input.label;
        evaluation.fileStem = fileStem(input.label);
        if (options_.repeat > 1) {
          std::string number = std::to_string(round);
          evaluation.label.append(" [").append(number).append("]");
          evaluation.fileStem.append(".").append(number);
        }
      }
      auto message = instantiate(*input.message, options_.descriptor, host);
      current = &evaluation;
      node_.evaluate(*message);
      current = nullptr;
      report(evaluation);
      done_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  void report(const Evaluation& e) {
    std::string outcome;
    std::lock_guard<std::mutex> lock(linesMutex_);
    if (e.terminal == "out") {
      ++summary_.out;
      outcome = "out";
    } else if (!e.terminal.empty()) {
      ++summary_.failure;
      outcome = e.terminal + ": " + oneLine(e.error);
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
    if (options_.quiet) return;
    std::ostringstream text;
    text << e.label << " -> " << outcome << '\n';
    if (!e.writeError.empty()) text << "  " << e.writeError << '\n';
    if (options_.verbose) {
      for (const auto& entry : e.log) {
        text << "  log: type " << entry.type << ' ' << entry.sourceFile << ':' << entry.line;
        for (const auto& insert : entry.inserts) text << ' ' << insert;
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
  std::size_t total_ = 0;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> done_{0};
  std::mutex linesMutex_;
  RunSummary summary_;
  std::mutex doneMutex_;
  std::condition_variable doneSignal_;
  bool finished_ = false;
};

}  // namespace

bool runMessages(memhost::Node& node, const std::vector<InputMessage>& inputs, const RunOptions& options,
                 std::ostream& lines, RunSummary& summary, std::string& error) {
  Runner runner(node, inputs, options, lines);
  if (!runner.prepare(error)) return false;
  runner.run(summary);
  return true;
}

std::string summaryLine(const RunSummary& s) {
  char text[256];
  double rate = s.seconds > 0 ? static_cast<double>(s.total()) / s.seconds : 0.0;
  std::snprintf(text, sizeof text, "%zu messages: %zu out, %zu failure, %zu dropped, %zu ended; %.3f s, %.1f messages/s",
                s.total(), s.out, s.failure, s.dropped, s.ended, s.seconds, rate);
  return text;
}

}  // namespace flowrun
