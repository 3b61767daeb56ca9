#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "driver/platform.h"

namespace qzr {
namespace {

termios saved_mode;
volatile sig_atomic_t mode_changed = 0;

void restore_mode() {
  if (mode_changed) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
    mode_changed = 0;
  }
}

void on_signal(int sig) {
  restore_mode();
  signal(sig, SIG_DFL);
  raise(sig);
}

// Bytes that follow at once belong to the same key (an escape sequence).
void drain_sequence() {
  unsigned char c;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  while (poll(&p, 1, 30) > 0 && (p.revents & POLLIN)) {
    if (read(STDIN_FILENO, &c, 1) != 1) break;
  }
}

}  // namespace

uint32_t tick_count_ms() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>(ms);
}

bool console_available() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

void wait_for_key() {
  if (!console_available()) return;
  if (tcgetattr(STDIN_FILENO, &saved_mode) != 0) return;
  termios raw = saved_mode;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  struct sigaction old_int {
  }, old_term{}, old_hup{}, old_quit{};
  sigaction(SIGINT, &sa, &old_int);
  sigaction(SIGTERM, &sa, &old_term);
  sigaction(SIGHUP, &sa, &old_hup);
  sigaction(SIGQUIT, &sa, &old_quit);
  // TCSANOW keeps what was typed during the decode: it ends the wait at once.
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
    mode_changed = 1;
    unsigned char c = 0;
    ssize_t got;
    do {
      got = read(STDIN_FILENO, &c, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1 && c == 0x1B) drain_sequence();
  }
  restore_mode();
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
}

MappedFile::~MappedFile() {
  if (data != nullptr) munmap(const_cast<uint8_t*>(data), size);
}

bool map_file(std::FILE* file, MappedFile& view) {
  struct stat st {};
  const int fd = fileno(file);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
  void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return false;
  view.data = static_cast<const uint8_t*>(p);
  view.size = static_cast<size_t>(st.st_size);
  return true;
}

IntermediateLock::~IntermediateLock() {
  if (fd >= 0) close(fd);
}

std::FILE* create_intermediate(const char* name, IntermediateLock& lock) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // Read and write: the run reads the file back through this open. A link
    // in the name's place fails to open (O_NOFOLLOW), a FIFO opens without
    // waiting for a reader (O_NONBLOCK) and is then refused as not a plain
    // file, like a device.
    const int fd = open(name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) return nullptr;
    struct stat held {};
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_nlink > 1 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      close(fd);
      return nullptr;
    }
    int locked;
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat named {};
    // The run we waited for may have deleted the file: then it is no longer
    // the one the name denotes, and we start again with the name's. A link
    // made to it while we waited is refused as before.
    if (locked == 0 && fstat(fd, &held) == 0 && lstat(name, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      if (held.st_nlink != 1 || ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
      }
      lock.fd = dup(fd);  // holds the claim after the stream is closed
      std::FILE* f = lock.fd < 0 ? nullptr : fdopen(fd, "wb");
      if (f == nullptr) close(fd);
      return f;
    }
    close(fd);
    if (locked != 0) return nullptr;
  }
  return nullptr;
}

std::FILE* reopen_intermediate(const IntermediateLock& lock) {
  if (lock.fd < 0) return nullptr;
  const int fd = dup(lock.fd);  // shares the position with the claim's descriptor
  if (fd < 0) return nullptr;
  std::FILE* f = lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "rb") : nullptr;
  if (f == nullptr) close(fd);
  return f;
}

}  // namespace qzr
