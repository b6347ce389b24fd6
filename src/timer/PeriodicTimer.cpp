#include "PeriodicTimer.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>

#include <utility>

#include "Log.h"

namespace midiflash {
namespace {

// Below JACK's own real-time threads (its default is 10 and more), above every normal thread.
constexpr int kRealtimePriority = 5;

constexpr int64_t kNsPerSecond = 1'000'000'000;
// Past this lag (the process was stopped, or the machine suspended) the deadlines start again
// from now: a burst of thousands of back-to-back ticks would help nobody.
constexpr int64_t kMaxLagNs = kNsPerSecond;
// Ticks made at once when the timer starts, so that a run begins with work already queued ahead
// of the first period.
constexpr int kPrimingCalls = 3;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// End of period n after `anchor`. kTickFrameRate periods are exactly kTickFrames seconds, so
// splitting n there keeps the arithmetic exact and far from overflow for any length of run.
int64_t PeriodEnd(int64_t anchor, uint64_t n) {
  const uint64_t whole = n / kTickFrameRate;
  const uint64_t part = n % kTickFrameRate;
  const uint64_t blockNs = uint64_t{kTickFrames} * kNsPerSecond;
  return anchor + static_cast<int64_t>(whole * blockNs + part * blockNs / kTickFrameRate);
}

void SleepUntil(int64_t deadlineNs) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadlineNs / kNsPerSecond);
  ts.tv_nsec = static_cast<long>(deadlineNs % kNsPerSecond);
  // A signal cuts the sleep short; the deadline is absolute, so sleeping again is exact.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace

PeriodicTimer::PeriodicTimer() : PeriodicTimer(&pthread_create) {}

PeriodicTimer::PeriodicTimer(ThreadStarter starter) : startThread_(starter) {}

PeriodicTimer::~PeriodicTimer() {
  StopThread();
}

void PeriodicTimer::Start(std::function<void()> newHandler) {
  {
    // Swapping under the lock waits out a call in progress on the timer thread; the old handler
    // is then released here, on the owner's thread, where its captures were made.
    std::lock_guard<std::mutex> lock(handlerLock_);
    handler_.swap(newHandler);
  }
  newHandler = nullptr;
  StartThread();
}

void PeriodicTimer::Stop() {
  StopThread();
}

void PeriodicTimer::StartThread() {
  if (running_) return;

  // No thread runs while the timer is idle, so the handler needs no lock here.
  for (int i = 0; i < kPrimingCalls; ++i) {
    if (handler_) handler_();
  }

  anchorNs_ = NowNs();
  stopRequested_.store(false, std::memory_order_relaxed);

  // The timer thread takes no signals: they belong to the owner's thread, whose waits they are
  // meant to cut short. The new thread inherits the mask in force while it is created.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int err = startThread_(&thread_, nullptr, &PeriodicTimer::ThreadEntry, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (err != 0) {
    LogLine("pthread_create err = %d", err);
    return;
  }
  running_ = true;
}

void PeriodicTimer::StopThread() {
  if (!running_) return;
  stopRequested_.store(true, std::memory_order_release);
  const int err = pthread_join(thread_, nullptr);
  if (err != 0) {
    LogLine("pthread_join err = %d", err);
    return;
  }
  running_ = false;
}

void* PeriodicTimer::ThreadEntry(void* self) {
  static_cast<PeriodicTimer*>(self)->ThreadMain();
  return nullptr;
}

void PeriodicTimer::ThreadMain() {
  pthread_setname_np(pthread_self(), "midiflash-tick");
  // The default slack of 50 µs would be added to every wake-up; a tick only needs to be on time.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // A normal-priority thread on a busy desktop wakes milliseconds late now and then; the thread
  // sleeps almost all the time, so a real-time priority costs the rest of the system nothing.
  if (realtime_) {
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  }
  int64_t anchor = anchorNs_;
  uint64_t n = 0;
  while (!stopRequested_.load(std::memory_order_acquire)) {
    ++n;
    const int64_t deadline = PeriodEnd(anchor, n);
    SleepUntil(deadline);
    if (stopRequested_.load(std::memory_order_acquire)) break;
    const int64_t now = NowNs();
    if (now - deadline > kMaxLagNs) {
      LogLine("PeriodicTimer: %lld ms behind, ticks restart from now",
              static_cast<long long>((now - deadline) / 1'000'000));
      anchor = now;
      n = 0;
    }
    CallHandler();
  }
}

void PeriodicTimer::CallHandler() {
  std::lock_guard<std::mutex> lock(handlerLock_);
  if (handler_) handler_();
}

}  // namespace midiflash
