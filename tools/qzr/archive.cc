#include "archive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "console.h"
#include "file_io.h"
#include "text.h"

namespace qzr::tool {

namespace {

bool has_qzr_extension(const fs::path& p) {
  std::string e = text_of(p.extension());
  std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return e == ".qzr";
}

std::optional<FileIdentity> file_id(const fs::path& p) {
  std::error_code ignored;
  return file_identity(p, ignored);
}

// The .qzr files below `dir` into `found`, each directory once.
void walk(const fs::path& dir, const fs::path& base, std::set<FileIdentity>& walked, Collection& c,
          std::vector<Job>& found) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    entries.push_back(*it);
  if (ec) {
    c.failures.push_back(text_of(dir) + ": cannot read the folder: " + ec.message());
    return;
  }
  std::sort(entries.begin(), entries.end());
  for (const fs::directory_entry& e : entries) {
    std::error_code entry_ec;
    if (e.is_directory(entry_ec)) {  // through a link too
      std::error_code id_ec;
      const std::optional<FileIdentity> id = file_identity(e.path(), id_ec);
      if (!id) {
        c.failures.push_back(text_of(e.path()) + ": cannot read the folder: " + id_ec.message());
      } else if (!walked.insert(*id).second) {
        c.notes.push_back(text_of(e.path()) + ": leads to a folder already walked; not walked again");
      } else {
        walk(e.path(), base, walked, c, found);
      }
    } else if (has_qzr_extension(e.path())) {
      if (e.is_regular_file(entry_ec))
        found.push_back({e.path(), e.path().lexically_relative(base)});
      else if (e.is_symlink(entry_ec) && !e.exists(entry_ec))
        c.failures.push_back(text_of(e.path()) + ": a link to nothing");
    }
  }
}

}  // namespace

Collection collect_jobs(const std::vector<std::string>& inputs, bool recursive) {
  Collection c;
  std::set<FileIdentity> walked;
  for (const std::string& input : inputs) {
    const fs::path base = path_from_text(input);
    std::error_code ec;
    if (fs::is_directory(base, ec)) {
      if (!recursive) {
        c.failures.push_back(input + ": a folder (add -r to take the .qzr files in it and below it)");
        continue;
      }
      std::error_code id_ec;
      const std::optional<FileIdentity> id = file_identity(base, id_ec);
      if (!id) {
        c.failures.push_back(input + ": cannot read the folder: " + id_ec.message());
        continue;
      }
      if (!walked.insert(*id).second) continue;  // named again: walked already
      std::vector<Job> found;
      walk(base, base, walked, c, found);
      std::sort(found.begin(), found.end(), [](const Job& a, const Job& b) { return a.relative < b.relative; });
      c.jobs.insert(c.jobs.end(), found.begin(), found.end());
    } else if (fs::exists(base, ec)) {
      c.jobs.push_back({base, base.filename()});
    } else {
      c.failures.push_back(input + ": no such file or directory");
    }
  }
  return c;
}

namespace {

// A path as the file system would find it, folded to one case: the
// directory resolved (links, "..", the working directory), the name kept.
std::string clash_key(const fs::path& p) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(p, ec).lexically_normal();
  fs::path dir = fs::weakly_canonical(absolute.parent_path(), ec);
  if (ec) dir = absolute.parent_path();
  return fold_case(text_of(dir / absolute.filename()));
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (size_t k = 0; k < names.size(); ++k) out += (k == 0 ? "" : k + 1 == names.size() ? " and " : ", ") + names[k];
  return out;
}

}  // namespace

std::vector<std::string> take_out_clashes(std::vector<Job>& jobs,
                                          const std::function<fs::path(const Job&)>& output_of) {
  struct Planned {
    size_t job;
    std::string output;
    std::optional<FileIdentity> input;
  };
  std::map<std::string, std::vector<Planned>> by_output;
  std::map<std::string, std::string> inputs;  // clash key -> the input's name
  for (size_t i = 0; i < jobs.size(); ++i) {
    inputs.emplace(clash_key(jobs[i].input), text_of(jobs[i].input));
    const fs::path out = output_of(jobs[i]);
    std::vector<Planned>& group = by_output[clash_key(out)];
    const std::optional<FileIdentity> id = file_id(jobs[i].input);
    const bool again = id && std::any_of(group.begin(), group.end(), [&](const Planned& p) { return p.input == id; });
    if (!again) group.push_back({i, text_of(out), id});
  }
  std::vector<bool> keep(jobs.size(), false);
  std::vector<std::pair<size_t, std::string>> lines;  // by job, to keep the inputs' order
  for (const auto& [key, group] : by_output) {
    const auto over_input = inputs.find(key);
    if (group.size() == 1 && over_input == inputs.end()) {
      keep[group[0].job] = true;
      continue;
    }
    std::vector<std::string> outputs;
    for (const Planned& p : group)
      if (std::find(outputs.begin(), outputs.end(), p.output) == outputs.end()) outputs.push_back(p.output);
    std::string output = joined(outputs);
    if (outputs.size() > 1) output += " (the same but for letter case)";
    for (const Planned& p : group) {
      std::string line = text_of(jobs[p.job].input) + ": not converted: ";
      if (group.size() == 1) {
        line += "its output " + output + " is the input " + over_input->second;
      } else {
        std::vector<std::string> others;
        for (const Planned& q : group)
          if (q.job != p.job) others.push_back(text_of(jobs[q.job].input));
        line += "it and " + joined(others) + " would write the same output " + output;
        if (over_input != inputs.end()) line += ", the input " + over_input->second;
      }
      lines.emplace_back(p.job, line);
    }
  }
  std::sort(lines.begin(), lines.end());
  std::vector<Job> kept;
  for (size_t i = 0; i < jobs.size(); ++i)
    if (keep[i]) kept.push_back(std::move(jobs[i]));
  jobs = std::move(kept);
  std::vector<std::string> out;
  for (auto& [job, line] : lines) out.push_back(std::move(line));
  return out;
}

fs::path output_path(const Job& job, const std::optional<fs::path>& out_dir, const std::string& extension) {
  fs::path p = out_dir ? *out_dir / job.relative : job.input;
  return p.replace_extension(extension);
}

void PixelBudget::acquire(uint64_t pixels) {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [&] { return in_flight_ == 0 || in_flight_ + pixels <= limit_; });
  in_flight_ += pixels;
}

void PixelBudget::release(uint64_t pixels) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_flight_ -= pixels;
  }
  room_.notify_all();
}

RunTotals run_jobs(const std::vector<Job>& jobs, int threads, bool progress,
                   const std::function<FileResult(const Job&)>& work, const ResultReport& in_order) {
  RunTotals totals;
  std::vector<std::optional<FileResult>> waiting(in_order ? jobs.size() : 0);  // finished before their turn
  size_t reported = 0;  // jobs whose results went to in_order
  std::mutex out_mutex;  // standard error, and the totals
  std::atomic<size_t> next{0};
  const auto started = std::chrono::steady_clock::now();
  auto last_draw = started - std::chrono::seconds(1);
  bool line_shown = false;

  auto draw = [&](bool force) {  // out_mutex held
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_draw < std::chrono::milliseconds(100)) return;
    last_draw = now;
    const uint64_t finished = totals.done + totals.skipped + totals.failed + totals.salvaged;
    const double seconds = std::chrono::duration<double>(now - started).count();
    const double rate = seconds > 0 ? static_cast<double>(finished) / seconds : 0;
    char eta[32] = "--:--";
    if (rate > 0) {
      const auto left = static_cast<long>(static_cast<double>(jobs.size() - finished) / rate + 0.5);
      std::snprintf(eta, sizeof eta, "%ld:%02ld", left / 60, left % 60);
    }
    print(stderr, "\r\033[K%llu of %zu files, %.1f pictures/s, %s left", static_cast<unsigned long long>(finished),
          jobs.size(), rate, eta);
    std::fflush(stderr);
    line_shown = true;
  };

  auto worker = [&] {
    for (size_t i; (i = next++) < jobs.size();) {
      const FileResult r = work(jobs[i]);
      std::lock_guard<std::mutex> lock(out_mutex);
      if (in_order) {
        waiting[i] = r;
        if (line_shown && waiting[reported]) std::fputs("\r\033[K", stderr);
        if (waiting[reported]) line_shown = false;
        for (; reported < jobs.size() && waiting[reported]; ++reported) {
          in_order(jobs[reported], *waiting[reported]);
          waiting[reported].reset();
        }
      } else if (r.outcome != Outcome::skipped && !r.message.empty()) {
        if (line_shown) std::fputs("\r\033[K", stderr);
        line_shown = false;
        const char* kind = r.outcome == Outcome::done ? "warning: " : r.outcome == Outcome::salvaged ? "salvaged: " : "";
        size_t start = 0;
        const std::string& m = r.message;
        while (start < m.size()) {
          size_t end = m.find('\n', start);
          if (end == std::string::npos) end = m.size();
          if (end > start)
            print(stderr, "%s: %s%.*s\n", text_of(jobs[i].input).c_str(), kind, static_cast<int>(end - start),
                  m.data() + start);
          start = end + 1;
        }
      }
      if (r.outcome == Outcome::done && !r.message.empty()) ++totals.warned;
      (r.outcome == Outcome::done       ? totals.done
       : r.outcome == Outcome::skipped  ? totals.skipped
       : r.outcome == Outcome::salvaged ? totals.salvaged
                                        : totals.failed)++;
      if (progress) draw(false);
    }
  };
  const int n = std::max(1, std::min<int>(threads, static_cast<int>(std::max<size_t>(jobs.size(), 1))));
  std::vector<std::thread> pool;
  for (int t = 1; t < n; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  if (progress && !jobs.empty()) {
    draw(true);
    std::fputs("\n", stderr);
  }
  return totals;
}

}  // namespace qzr::tool
