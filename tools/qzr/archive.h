// Whole archives of QZR files: which files a command line names, where each
// one's output goes, and the run over them on several threads with a
// progress line.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qzr::tool {

namespace fs = std::filesystem;

// One file of the run: where it is, and its path below the directory given
// on the command line (its own name for a file given by itself).
struct Job {
  fs::path input;
  fs::path relative;
};

// What the inputs of a command line name.
struct Collection {
  std::vector<Job> jobs;
  std::vector<std::string> failures;  // "NAME: reason": inputs missing, folders not read
  std::vector<std::string> notes;     // "NAME: ...": folders reached again, not walked twice
};

// The files the inputs name: a file as given, and with `recursive` the .qzr
// files (by extension, in any case) of a directory's whole tree, sorted.
// Links to directories are followed, each directory walked once (known by
// device and inode): a link back to one already walked, as in a loop, is
// noted instead. Without `recursive` a directory is a failure.
Collection collect_jobs(const std::vector<std::string>& inputs, bool recursive);

// Takes out of `jobs` those whose outputs (`output_of`) would be one file:
// the same path, or the same up to letter case (as on a case-insensitive
// file system), or the path of an input. The same input file (device and
// inode) named twice for one output stays once, silently; any other such
// group leaves no job at all, and each of its inputs gets one line,
// "INPUT: ...", naming the other inputs and the output. Returns those lines.
std::vector<std::string> take_out_clashes(std::vector<Job>& jobs, const std::function<fs::path(const Job&)>& output_of);

// NAME.qzr -> NAME.<extension>, beside the input or under `out_dir` at the
// job's relative path.
fs::path output_path(const Job& job, const std::optional<fs::path>& out_dir, const std::string& extension);

// What became of one file.
// `salvaged`: done as far as the file allowed, with what was lost.
enum class Outcome { done, skipped, failed, salvaged };
struct FileResult {
  Outcome outcome = Outcome::done;
  // For a failure: the reason, one or more lines; for a file done: a
  // warning, or empty; for a file salvaged: what was lost.
  std::string message;
};

struct RunTotals {
  uint64_t done = 0, skipped = 0, failed = 0, salvaged = 0;
  uint64_t warned = 0;  // of those done, the ones with a warning
};

// Runs `work` on every job with `threads` threads. Each failure is printed
// to standard error as one line per line of its message, "FILE: reason",
// each warning of a file done as "FILE: warning: text", and each file
// salvaged as "FILE: salvaged: what was lost",
// whole lines never mixed with another file's; or, with `in_order`, every
// result goes to it instead, in the jobs' order whatever order they finish
// in, one call at a time. On a terminal (`progress`) a line of files done,
// pictures per second and time left is kept up to date on standard error,
// redrawn in place (and cleared before each failure or in_order call).
using ResultReport = std::function<void(const Job&, const FileResult&)>;
RunTotals run_jobs(const std::vector<Job>& jobs, int threads, bool progress,
                   const std::function<FileResult(const Job&)>& work, const ResultReport& in_order = {});

// Bounds the pixels being decoded at once, whatever the thread count: a
// picture waits until the others leave it room (one alone always goes).
class PixelBudget {
 public:
  explicit PixelBudget(uint64_t limit) : limit_(limit) {}
  void acquire(uint64_t pixels);
  void release(uint64_t pixels);

 private:
  std::mutex mutex_;
  std::condition_variable room_;
  uint64_t limit_, in_flight_ = 0;
};

// Holds a share of a budget for its lifetime.
class BudgetShare {
 public:
  BudgetShare(PixelBudget& budget, uint64_t pixels) : budget_(budget), pixels_(pixels) { budget_.acquire(pixels_); }
  ~BudgetShare() { budget_.release(pixels_); }
  BudgetShare(const BudgetShare&) = delete;
  BudgetShare& operator=(const BudgetShare&) = delete;

 private:
  PixelBudget& budget_;
  uint64_t pixels_;
};

}  // namespace qzr::tool
