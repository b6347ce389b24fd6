#include "MainQueue.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "Log.h"

namespace midiflash {
namespace {

using Clock = std::chrono::steady_clock;

// Without an eventfd the runner polls at this pace instead of being woken.
constexpr std::chrono::nanoseconds kPollWithoutEventFd = std::chrono::milliseconds(1);

void Signal(int fd) {
  if (fd < 0) return;
  const uint64_t one = 1;
  // Non-blocking: a counter that is already huge has a wake-up pending anyway.
  const ssize_t written = write(fd, &one, sizeof one);
  (void)written;
}

}  // namespace

MainQueue::MainQueue() {
  eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (eventFd_ < 0) LogLine("eventfd err = %d", errno);
}

MainQueue::~MainQueue() {
  if (eventFd_ >= 0) close(eventFd_);
}

void MainQueue::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    tasks_.push_back(std::move(task));
  }
  Signal(eventFd_);
}

void MainQueue::Wake() {
  const int savedErrno = errno;
  wakeRequested_.store(true, std::memory_order_release);
  Signal(eventFd_);
  errno = savedErrno;
}

size_t MainQueue::RunFor(std::chrono::nanoseconds duration) {
  size_t ran = 0;
  Run(nullptr, duration, ran);
  return ran;
}

bool MainQueue::RunUntil(const std::function<bool()>& done, std::chrono::nanoseconds timeout) {
  size_t ran = 0;
  return Run(done, timeout, ran);
}

size_t MainQueue::RunPending() {
  // Counted at entry, so a task that posts again cannot keep this call going for ever.
  const size_t count = size();
  size_t ran = 0;
  std::function<void()> task;
  while (ran < count && PopFront(task)) {
    if (task) task();
    task = nullptr;
    ++ran;
  }
  return ran;
}

size_t MainQueue::size() const {
  std::lock_guard<std::mutex> lock(lock_);
  return tasks_.size();
}

bool MainQueue::Run(const std::function<bool()>& done, std::chrono::nanoseconds timeout,
                    size_t& ran) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::function<void()> task;
  for (;;) {
    if (done && done()) return true;
    if (wakeRequested_.exchange(false, std::memory_order_acq_rel)) return false;
    if (PopFront(task)) {
      // Tasks run outside the lock, so they may post, and posters never wait for them.
      if (task) task();
      task = nullptr;
      ++ran;
      // A queue that never runs dry must not hold the runner past its time.
      if (Clock::now() >= deadline) return done && done();
    } else if (Clock::now() < deadline) {
      WaitUntil(deadline);
    } else {
      return false;
    }
  }
}

bool MainQueue::PopFront(std::function<void()>& task) {
  std::lock_guard<std::mutex> lock(lock_);
  if (tasks_.empty()) return false;
  task = std::move(tasks_.front());
  tasks_.pop_front();
  return true;
}

void MainQueue::WaitUntil(Clock::time_point deadline) {
  std::chrono::nanoseconds left = std::max(deadline - Clock::now(), Clock::duration::zero());
  if (eventFd_ < 0) left = std::min(left, kPollWithoutEventFd);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds.count());
  ts.tv_nsec = static_cast<long>((left - seconds).count());
  pollfd pfd{eventFd_, POLLIN, 0};
  // A signal ends the wait early (EINTR); the caller looks at the wake flag and the queue again.
  const int ready = ppoll(eventFd_ >= 0 ? &pfd : nullptr, eventFd_ >= 0 ? 1 : 0, &ts, nullptr);
  if (ready > 0) {
    // Reset the counter before the caller looks at the queue: a post made after this read
    // writes again, so no wake-up is lost.
    uint64_t count = 0;
    const ssize_t got = read(eventFd_, &count, sizeof count);
    (void)got;
  }
}

}  // namespace midiflash
