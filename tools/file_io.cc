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

#include "win32.h"
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#endif

namespace qzr::tool {

namespace fs = std::filesystem;

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

// The temporaries being written, for the signal thread to remove.
std::mutex temporaries_mutex;
std::set<fs::path> temporaries;
std::atomic<uint64_t> temporary_counter{0};

#ifdef _WIN32
// The errno value for the Windows errors files meet, so that messages read
// as on POSIX systems.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    default: return EIO;
  }
}
std::error_code windows_error() { return {errno_of(GetLastError()), std::generic_category()}; }

// A descriptor for a file that does not exist yet, opened for writing; -1
// when it cannot be made (EEXIST: the name is taken). Shared for deletion,
// so that Ctrl-C can remove it while it is being written.
int create_new(const fs::path& name) {
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = errno_of(GetLastError());
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) CloseHandle(h);
  return fd;
}
long write_some(int fd, const uint8_t* data, size_t size) {
  return _write(fd, data, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
}
int close_file(int fd) { return _close(fd); }
long process_id() { return _getpid(); }
#else
int create_new(const fs::path& name) { return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
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
#ifdef _WIN32
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) ec = windows_error();
#else
    fs::rename(temporary, path, ec);
#endif
    return ec;
  }
  const auto taken = [&] { return fs::exists(fs::symlink_status(path, probe)); };
#ifdef _WIN32
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
  if (!MoveFileExW(temporary.c_str(), path.c_str(), 0)) {
    ec = windows_error();
    if (taken()) ec.assign(EEXIST, std::generic_category());
  }
#else
  // A second name for the file fails when the name is taken; then the
  // temporary one goes. File systems without hard links check, then rename.
  if (link(temporary.c_str(), path.c_str()) == 0) {
    fs::remove(temporary, probe);
  } else if (errno == EEXIST || taken()) {
    ec.assign(EEXIST, std::generic_category());
  } else {
    fs::rename(temporary, path, ec);
  }
#endif
  return ec;
}

}  // namespace

#ifdef _WIN32
std::wstring wide_of(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(std::min<size_t>(utf8.size(), INT_MAX));
  std::wstring out(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), static_cast<int>(out.size()));
  return out;
}

std::string utf8_of(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(std::min<size_t>(wide.size(), INT_MAX));
  std::string out(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr)),
                  '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  return out;
}

fs::path path_from_text(const std::string& text) { return fs::path(wide_of(text)); }
std::string text_of(const fs::path& path) { return utf8_of(path.native()); }

std::optional<FileIdentity> file_identity(const fs::path& path, std::error_code& error) {
  // No access asked for: the identity alone. Folders need backup semantics.
  const HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = windows_error();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  if (!ok) error = windows_error();
  CloseHandle(h);
  if (!ok) return std::nullopt;
  error.clear();
  return FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}
#else
fs::path path_from_text(const std::string& text) { return fs::path(text); }
std::string text_of(const fs::path& path) { return path.string(); }

std::optional<FileIdentity> file_identity(const fs::path& path, std::error_code& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = last_error();
    return std::nullopt;
  }
  error.clear();
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}
#endif

std::FILE* open_to_read(const fs::path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"rb");
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

std::optional<std::vector<uint8_t>> read_whole_file(const fs::path& path, std::error_code& error) {
  error.clear();
  std::FILE* f = open_to_read(path);
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
  fs::path temporary;
  int fd = -1;
  for (int tries = 0; tries < 100 && fd < 0; ++tries) {
    {
      std::lock_guard<std::mutex> lock(temporaries_mutex);
      temporaries.erase(temporary);
      temporary = path.parent_path() /
                  (".qzr-" + std::to_string(process_id()) + "-" + std::to_string(temporary_counter++) + ".tmp");
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
  if (!out.ok()) fs::remove(temporary, ec);
  forget();
  return out;
}

#ifdef _WIN32
namespace {

BOOL WINAPI on_console_event(DWORD event) {
  // Held to the end: no temporary is added or forgotten after this. A file
  // still open goes when the process ends and its handle closes.
  temporaries_mutex.lock();
  for (const fs::path& t : temporaries) DeleteFileW(t.c_str());
  std::fputs("\n", stderr);
  std::fflush(stderr);
  _exit(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : 129);
}

}  // namespace

void install_cleanup_on_signals() { SetConsoleCtrlHandler(on_console_event, TRUE); }
#else
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
    for (const fs::path& t : temporaries) unlink(t.c_str());
    std::fputs("\n", stderr);
    _exit(128 + sig);
  }).detach();
}
#endif

}  // namespace qzr::tool
