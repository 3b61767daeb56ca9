// The few thread helpers the decode uses: how many cores this process may
// run on, and a task on a thread of its own that is always joined.
#pragma once

#include <system_error>
#include <thread>

namespace qzr {

// The cores the process may use (its CPU affinity where the system tells it),
// at least 1.
int available_cores();

// Runs a task on a thread of its own, joined by `join` or at the latest by
// the destructor; when the system gives no thread the task runs at once on
// the caller's.
class Background {
 public:
  Background() = default;
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background() { join(); }

  template <class Task>
  void start(Task&& task) {
    join();
    try {
      thread_ = std::thread(task);
    } catch (const std::system_error&) {
      task();
    }
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

}  // namespace qzr
