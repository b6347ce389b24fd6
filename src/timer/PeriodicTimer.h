// The periodic tick: a thread of its own that calls a handler once every kTickFrames frames at
// kTickFrameRate (about 2.9025 ms, about 344.53 calls a second), paced by absolute deadlines on the
// monotonic clock so that no drift builds up over a run.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "TickTimer.h"

namespace midiflash {

class PeriodicTimer {
 public:
  // How the timer starts its thread; pthread_create unless told otherwise. Returns 0 or an errno
  // value, as pthread_create does.
  using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

  // An idle timer with no handler.
  PeriodicTimer();
  // An idle timer that starts its thread through `starter` (lets a caller make the start fail).
  explicit PeriodicTimer(ThreadStarter starter);
  // Stops a running timer and releases the handler.
  ~PeriodicTimer();
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Stores a copy of `handler` (an empty one is allowed: the timer then runs and calls nothing),
  // releasing the one held before once no call of it is in progress. An idle timer then starts:
  // three calls of the handler at once on the calling thread, then one call per period on the
  // timer's thread, the first one period after the start. A running timer only changes handler,
  // with no call at once. A thread that cannot be started is logged as "pthread_create err = %d"
  // and leaves the timer idle; the three calls at once have been made by then.
  // Call from the owner's thread only, never from inside the handler.
  void Start(std::function<void()> handler);

  // Stops a running timer and waits for its thread to end: no handler call comes after it
  // returns. Ticks the handler already passed on elsewhere are not withdrawn. Does nothing, and
  // logs nothing, on an idle timer. The handler is kept. A failed join is logged as
  // "pthread_join err = %d" and leaves the timer running (a later call finishes the stop).
  // Call from the owner's thread only.
  void Stop();

  // Whether the timer thread asks for real-time scheduling (SCHED_FIFO, as audio threads get) when
  // it starts; true unless set otherwise. Where the system refuses, the thread runs at normal
  // priority, silently. Takes effect at the next start.
  void SetRealtime(bool on) { realtime_ = on; }

  // True while a thread is running (between a successful start and a successful stop).
  bool running() const { return running_; }

 private:
  void StartThread();
  void StopThread();
  static void* ThreadEntry(void* self);
  void ThreadMain();
  void CallHandler();

  // True from a successful start of the thread to its successful join. Owner's thread only.
  bool running_ = false;
  // Called once per tick. Written under handlerLock_, which the timer thread holds for each
  // call, so a replaced handler lives until the call in progress has returned.
  std::function<void()> handler_;

  std::mutex handlerLock_;
  ThreadStarter startThread_;
  bool realtime_ = true;
  pthread_t thread_{};
  std::atomic<bool> stopRequested_{false};
  // Monotonic time in nanoseconds of the start; period n ends n periods after it. Written before
  // the thread starts, which reads it once.
  int64_t anchorNs_ = 0;
};

}  // namespace midiflash
