// The main thread's event loop for the command line and for tests: tasks posted from any thread
// run one at a time, in the order posted, on the thread that calls RunFor / RunUntil.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace midiflash {

class MainQueue {
 public:
  // Opens the eventfd the runner waits on. When that fails ("eventfd err = %d" is logged) the
  // queue still works, but a waiting runner notices posts and wakes only every millisecond.
  MainQueue();
  // Tasks still queued are released without running.
  ~MainQueue();
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // Queues `task` to run after every task posted before it. Safe from any thread, including from
  // a running task; never drops or merges a task and never waits for the runner beyond a short
  // lock. Not async-signal-safe (it locks and may allocate). An empty task is queued and skipped.
  void Post(std::function<void()> task);

  // Makes the run in progress return after the task it is running, or, when none is running,
  // the next run return at once: a wake is never lost. Async-signal-safe (one atomic store and
  // one write to the eventfd, errno preserved), so a signal handler can set its own flag and
  // call Wake to have the main loop look at it.
  void Wake();

  // Runs posted tasks on the calling thread for `duration`, waiting when there are none.
  // Returns early on Wake. Returns the number of tasks run.
  size_t RunFor(std::chrono::nanoseconds duration);

  // Runs posted tasks on the calling thread until `done` returns true (asked on entry and after
  // each task or wake-up), `timeout` has passed, or Wake is called. Returns the last answer of
  // `done` (false on timeout or wake). An empty `done` never answers true.
  bool RunUntil(const std::function<bool()>& done, std::chrono::nanoseconds timeout);

  // Runs the tasks queued at the moment of the call, not those they post. Returns how many ran.
  size_t RunPending();

  // Number of tasks waiting to run.
  size_t size() const;

 private:
  // One run of tasks; `ran` counts the tasks it runs.
  bool Run(const std::function<bool()>& done, std::chrono::nanoseconds timeout, size_t& ran);
  bool PopFront(std::function<void()>& task);
  void WaitUntil(std::chrono::steady_clock::time_point deadline);

  mutable std::mutex lock_;
  std::deque<std::function<void()>> tasks_;
  int eventFd_ = -1;
  std::atomic<bool> wakeRequested_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "Wake must be async-signal-safe");
};

}  // namespace midiflash
