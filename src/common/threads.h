// The few thread helpers the decode uses: how many cores this process may
// run on, a task on a thread of its own that is always joined, and items
// made on one while the caller takes them in turn.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
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

// produce(0), produce(1), ... produce(count - 1) on a thread of its own,
// and consume(k) on the caller's once produce(k) is done, production staying
// at most `depth` items ahead: item k may live in slot k % depth of a ring
// of `depth`, since produce(k) starts only after consume(k - depth) ended.
// When the system gives no thread, each item is produced and consumed in
// turn on the caller's. An exception from either ends both and is thrown
// again here, on the caller's thread.
template <class Produce, class Consume>
void produce_ahead(uint64_t count, uint64_t depth, Produce&& produce, Consume&& consume) {
  if (depth == 0) depth = 1;
  struct Progress {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t produced = 0, consumed = 0;
    bool stop = false;  // set when either side ends early
  } p;
  auto update = [&p](auto change) {
    {
      std::lock_guard<std::mutex> hold(p.lock);
      change();
    }
    p.changed.notify_all();
  };
  auto stop = [&] { update([&] { p.stop = true; }); };
  const std::thread::id caller = std::this_thread::get_id();
  bool on_caller = false;
  Background producer;
  producer.start([&] {
    if (std::this_thread::get_id() == caller) {
      on_caller = true;
      return;
    }
    try {
      for (uint64_t k = 0; k < count; ++k) {
        {
          std::unique_lock<std::mutex> hold(p.lock);
          p.changed.wait(hold, [&] { return p.stop || k - p.consumed < depth; });
          if (p.stop) return;
        }
        produce(k);
        update([&] { p.produced = k + 1; });
      }
    } catch (...) {
      stop();
      throw;
    }
  });
  if (on_caller) {
    for (uint64_t k = 0; k < count; ++k) {
      produce(k);
      consume(k);
    }
    return;
  }
  // Destroyed before `producer` joins: a consumer that throws releases it.
  struct StopAtEnd {
    decltype(stop)& stop_now;
    ~StopAtEnd() { stop_now(); }
  } stop_at_end{stop};
  for (uint64_t k = 0; k < count; ++k) {
    {
      std::unique_lock<std::mutex> hold(p.lock);
      p.changed.wait(hold, [&] { return p.stop || p.produced > k; });
      if (p.produced <= k) break;  // the producer failed
    }
    consume(k);
    update([&] { p.consumed = k + 1; });
  }
  producer.join();
}

}  // namespace qzr
