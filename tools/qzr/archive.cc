#include "archive.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

namespace qzr::tool {

namespace {

bool has_qzr_extension(const fs::path& p) {
  std::string e = p.extension().string();
  std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return e == ".qzr";
}

// The temporaries being written, for the signal thread to remove.
std::mutex temporaries_mutex;
std::set<std::string> temporaries;
std::atomic<uint64_t> temporary_counter{0};

}  // namespace

std::vector<Job> collect_jobs(const std::vector<std::string>& inputs, bool recursive,
                              std::vector<std::string>& missing) {
  std::vector<Job> jobs;
  for (const std::string& input : inputs) {
    const fs::path base = input;
    std::error_code ec;
    if (fs::is_directory(base, ec)) {
      std::vector<Job> found;
      auto take = [&](const fs::directory_entry& e) {
        std::error_code entry_ec;
        if (e.is_regular_file(entry_ec) && has_qzr_extension(e.path()))
          found.push_back({e.path(), e.path().lexically_relative(base)});
      };
      if (recursive) {
        for (auto it = fs::recursive_directory_iterator(base, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
          take(*it);
      } else {
        for (auto it = fs::directory_iterator(base, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
          take(*it);
      }
      std::sort(found.begin(), found.end(), [](const Job& a, const Job& b) { return a.relative < b.relative; });
      jobs.insert(jobs.end(), found.begin(), found.end());
    } else if (fs::exists(base, ec)) {
      jobs.push_back({base, base.filename()});
    } else {
      missing.push_back(input);
    }
  }
  return jobs;
}

fs::path output_path(const Job& job, const std::optional<fs::path>& out_dir, const std::string& extension) {
  fs::path p = out_dir ? *out_dir / job.relative : job.input;
  return p.replace_extension(extension);
}

std::optional<std::vector<uint8_t>> read_whole_file(const fs::path& path, std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) {
    error = "read error";
    return std::nullopt;
  }
  return bytes;
}

bool write_file_whole(const fs::path& path, std::span<const uint8_t> bytes, std::string& error) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  if (ec) {
    error = "cannot create " + path.parent_path().string() + ": " + ec.message();
    return false;
  }
  // A short hidden name beside the output, whatever the output's length:
  // the same file system, so the rename is atomic, and no reader mistakes
  // it for a picture.
  const std::string temporary =
      (path.parent_path() /
       (".qzr-" + std::to_string(getpid()) + "-" + std::to_string(temporary_counter++) + ".tmp"))
          .string();
  {
    std::lock_guard<std::mutex> lock(temporaries_mutex);
    temporaries.insert(temporary);
  }
  auto forget = [&] {
    std::lock_guard<std::mutex> lock(temporaries_mutex);
    temporaries.erase(temporary);
  };
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = "cannot create " + temporary + ": " + std::strerror(errno);
    forget();
    return false;
  }
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::string("cannot write ") + path.string() + ": " + std::strerror(n < 0 ? errno : ENOSPC);
      break;
    }
    written += static_cast<size_t>(n);
  }
  const bool complete = written == bytes.size();
  const bool closed = close(fd) == 0;
  if (complete && !closed) error = "cannot write " + path.string() + ": " + std::strerror(errno);
  bool renamed = false;
  if (complete && closed) {
    renamed = std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!renamed) error = "cannot rename to " + path.string() + ": " + std::strerror(errno);
  }
  if (!renamed) std::remove(temporary.c_str());
  forget();
  return renamed;
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

void install_cleanup_on_signals() {
  static sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // the threads started later inherit it
  std::thread([] {
    int sig = 0;
    sigwait(&set, &sig);
    {
      // Held to the end: no temporary is renamed or added after this.
      temporaries_mutex.lock();
      for (const std::string& t : temporaries) unlink(t.c_str());
    }
    std::fputs("\n", stderr);
    _exit(128 + sig);
  }).detach();
}

RunTotals run_jobs(const std::vector<Job>& jobs, int threads, bool progress,
                   const std::function<FileResult(const Job&)>& work) {
  RunTotals totals;
  std::mutex out_mutex;  // standard error, and the totals
  std::atomic<size_t> next{0};
  const auto started = std::chrono::steady_clock::now();
  auto last_draw = started - std::chrono::seconds(1);
  bool line_shown = false;

  auto draw = [&](bool force) {  // out_mutex held
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_draw < std::chrono::milliseconds(100)) return;
    last_draw = now;
    const uint64_t finished = totals.done + totals.skipped + totals.failed;
    const double seconds = std::chrono::duration<double>(now - started).count();
    const double rate = seconds > 0 ? static_cast<double>(finished) / seconds : 0;
    char eta[32] = "--:--";
    if (rate > 0) {
      const auto left = static_cast<long>(static_cast<double>(jobs.size() - finished) / rate + 0.5);
      std::snprintf(eta, sizeof eta, "%ld:%02ld", left / 60, left % 60);
    }
    std::fprintf(stderr, "\r\033[K%llu of %zu files, %.1f pictures/s, %s left",
                 static_cast<unsigned long long>(finished), jobs.size(), rate, eta);
    std::fflush(stderr);
    line_shown = true;
  };

  auto worker = [&] {
    for (size_t i; (i = next++) < jobs.size();) {
      const FileResult r = work(jobs[i]);
      std::lock_guard<std::mutex> lock(out_mutex);
      if (r.outcome == Outcome::failed) {
        if (line_shown) std::fputs("\r\033[K", stderr);
        line_shown = false;
        size_t start = 0;
        const std::string& m = r.message;
        while (start < m.size()) {
          size_t end = m.find('\n', start);
          if (end == std::string::npos) end = m.size();
          if (end > start)
            std::fprintf(stderr, "%s: %.*s\n", jobs[i].input.string().c_str(), static_cast<int>(end - start),
                         m.data() + start);
          start = end + 1;
        }
      }
      (r.outcome == Outcome::done ? totals.done : r.outcome == Outcome::skipped ? totals.skipped : totals.failed)++;
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
