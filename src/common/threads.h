// The few thread helpers the decode uses: how many cores this process may
// run on, and a task on a thread of its own that is always joined.
#pragma once

#include <exception>
#include <system_error>
#include <thread>
#include <utility>

namespace qzr {

// The cores the process may use (its CPU affinity where the system tells it),
// at least 1.
int available_cores();

// Runs a task on a thread of its own, joined by `join` or at the latest by
// the destructor; when the system gives no thread the task runs at once on
// the caller's. An exception that ends the task (out of memory) is thrown
// again by `join`, on the caller's thread; the destructor, which may run
// while another one unwinds, drops it.
class Background {
 public:
  Background() = default;
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background() {
    if (thread_.joinable()) thread_.join();
  }

  template <class Task>
  void start(Task&& task) {
    join();
    auto run = [this, task] {
      try {
        task();
      } catch (...) {
        failure_ = std::current_exception();
      }
    };
    try {
      thread_ = std::thread(run);
    } catch (const std::system_error&) {
      run();
    }
  }
  void join() {
    if (thread_.joinable()) thread_.join();
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

 private:
  std::thread thread_;
  std::exception_ptr failure_;
};

}  // namespace qzr
