// Runs the qzrdec program as a process in a scratch directory, the way a
// script would: standard input not a terminal, output captured, time-limited.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "files.h"

namespace qzr::test {

// The console program's banner and key prompt.
inline const std::string kBanner = "\nQuorlen Wavelet Image decompressor version 1.1b   08.99\n\n";
inline const std::string kPrompt = "\nPress any key to continue...\n";

enum class Stdin { kDevNull, kOpenPipe, kClosed };

struct ProcessResult {
  int status = -1;  // exit status 0..255, or -1 when killed
  std::string out;
  bool timed_out = false;
  long peak_kib = 0;   // the child's peak resident memory
  double seconds = 0;  // wall time
};

inline ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                                 const std::filesystem::path& cwd, Stdin in = Stdin::kDevNull, int timeout_ms = 20000,
                                 long file_size_limit = -1) {
  int out_pipe[2], in_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(in_pipe) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (file_size_limit >= 0) {  // a full disk: writes past the limit fail
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(out_pipe[1], STDERR_FILENO);
    if (in == Stdin::kDevNull) {
      int fd = open("/dev/null", O_RDONLY);
      dup2(fd, STDIN_FILENO);
    } else if (in == Stdin::kOpenPipe) {
      dup2(in_pipe[0], STDIN_FILENO);
    } else {
      close(STDIN_FILENO);
    }
    close(out_pipe[0]);
    close(in_pipe[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(in_pipe[0]);  // keep in_pipe[1] open: the child's input never ends
  ProcessResult r;
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{out_pipe[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t n = read(out_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, static_cast<size_t>(n));
  }
  close(out_pipe[0]);
  close(in_pipe[1]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.peak_kib = usage.ru_maxrss;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return r;
}

// A fresh directory, removed with everything in it at the end of the test.
struct ScratchDir {
  std::filesystem::path path;
  ScratchDir() {
    std::string t = (std::filesystem::temp_directory_path() / "qzrtest-XXXXXX").string();
    path = mkdtemp(t.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

}  // namespace qzr::test
