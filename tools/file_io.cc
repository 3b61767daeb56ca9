#include "file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <new>
#include <set>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>
#endif

namespace qzr::tool {

namespace fs = std::filesystem;

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

// The temporaries being written, for the signal thread to remove.
std::mutex temporaries_mutex;
std::set<std::string> temporaries;
std::atomic<uint64_t> temporary_counter{0};

// A descriptor for a file that does not exist yet, opened for writing; -1
// when it cannot be made (EEXIST: the name is taken). (The Windows C
// runtime ignores the "x" of fopen and would overwrite the file.)
#ifdef _WIN32
int create_new(const std::string& name) {
  return _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long write_some(int fd, const uint8_t* data, size_t size) {
  return _write(fd, data, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
}
int close_file(int fd) { return _close(fd); }
long process_id() { return _getpid(); }
#else
int create_new(const std::string& name) { return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
long write_some(int fd, const uint8_t* data, size_t size) { return write(fd, data, size); }
int close_file(int fd) { return close(fd); }
long process_id() { return getpid(); }
#endif

// All of `bytes` to `fd`; the reason when they could not be written.
std::error_code write_all(int fd, std::span<const uint8_t> bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const long n = write_some(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return last_error();
    if (n == 0) return std::make_error_code(std::errc::no_space_on_device);
    written += static_cast<size_t>(n);
  }
  return {};
}

// Puts the complete temporary file in the output's place: over it with
// `replace`, otherwise only while no file has that name.
std::error_code move_into_place(const fs::path& temporary, const fs::path& path, bool replace) {
  std::error_code ec, probe;
  if (replace) {
    fs::rename(temporary, path, ec);
    return ec;
  }
  const auto taken = [&] { return fs::exists(fs::symlink_status(path, probe)); };
#ifdef _WIN32
  if (std::rename(temporary.string().c_str(), path.string().c_str()) != 0) {  // never replaces; EACCES when taken
    const int why = errno;
    ec.assign(taken() ? EEXIST : why, std::generic_category());
  }
#else
  // A second name for the file fails when the name is taken; then the
  // temporary one goes. File systems without hard links check, then rename.
  if (link(temporary.c_str(), path.c_str()) == 0) {
    std::remove(temporary.c_str());
  } else if (errno == EEXIST || taken()) {
    ec.assign(EEXIST, std::generic_category());
  } else {
    fs::rename(temporary, path, ec);
  }
#endif
  return ec;
}

}  // namespace

std::optional<std::vector<uint8_t>> read_whole_file(const fs::path& path, std::error_code& error) {
  error.clear();
  std::FILE* f = std::fopen(path.string().c_str(), "rb");
  if (f == nullptr) {
    error = last_error();
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  try {
    uint8_t chunk[1 << 16];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    if (std::ferror(f) != 0) error = std::make_error_code(std::errc::io_error);
  } catch (const std::bad_alloc&) {
    error = std::make_error_code(std::errc::not_enough_memory);
  }
  std::fclose(f);
  if (error) return std::nullopt;
  return bytes;
}

WriteOutcome write_file_whole(const fs::path& path, std::span<const uint8_t> bytes, const WriteOptions& options) {
  WriteOutcome out;
  const auto failed = [&](WriteStep step, std::error_code error) {
    out.step = step;
    out.error = error;
    return out;
  };
  if (options.create_directories && path.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec) return failed(WriteStep::directories, ec);
  }
  // Registered before it exists, so that a signal never misses it.
  std::string temporary;
  int fd = -1;
  for (int tries = 0; tries < 100 && fd < 0; ++tries) {
    {
      std::lock_guard<std::mutex> lock(temporaries_mutex);
      temporaries.erase(temporary);
      temporary = (path.parent_path() /
                   (".qzr-" + std::to_string(process_id()) + "-" + std::to_string(temporary_counter++) + ".tmp"))
                      .string();
      temporaries.insert(temporary);
    }
    fd = create_new(temporary);
    if (fd < 0 && errno != EEXIST) break;
  }
  out.temporary = temporary;
  const auto forget = [&] {
    std::lock_guard<std::mutex> lock(temporaries_mutex);
    temporaries.erase(temporary);
  };
  if (fd < 0) {
    failed(WriteStep::create, last_error());
    forget();
    return out;
  }
  std::error_code ec = write_all(fd, bytes);
  if (close_file(fd) != 0 && !ec) ec = last_error();
  if (ec) {
    failed(WriteStep::write, ec);
  } else if ((ec = move_into_place(temporary, path, options.replace))) {
    failed(ec == std::errc::file_exists ? WriteStep::exists : WriteStep::move, ec);
  }
  if (!out.ok()) std::remove(temporary.c_str());
  forget();
  return out;
}

#ifndef _WIN32
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
    // Held to the end: no temporary is added or forgotten after this.
    temporaries_mutex.lock();
    for (const std::string& t : temporaries) unlink(t.c_str());
    std::fputs("\n", stderr);
    _exit(128 + sig);
  }).detach();
}
#endif

}  // namespace qzr::tool
