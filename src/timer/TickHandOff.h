// Ties the tick timer to the thread that runs the playback: each timer call queues exactly one
// playback tick there, in order, never merged, never dropped, and returns at once.
#pragma once

#include <functional>

#include "PeriodicTimer.h"
#include "TickTimer.h"

namespace midiflash {

class TickHandOff : public TickTimer {
 public:
  // `post` queues a task onto the playback thread (MainQueue::Post, or a queued invocation in the
  // window); it is called on the timer's thread and must not wait for the playback thread.
  // `tick` is the playback tick that each queued task runs. The timer must outlive this object.
  TickHandOff(PeriodicTimer& timer, std::function<void(std::function<void()>)> post,
              std::function<void()> tick);
  // Stops the timer, whose handler refers to this object.
  ~TickHandOff() override;
  TickHandOff(const TickHandOff&) = delete;
  TickHandOff& operator=(const TickHandOff&) = delete;

  // Stops the timer, then starts it with a handler that calls QueueTick: three ticks are queued
  // before this returns, then one per timer period.
  void StartTimer() override;
  // Stops the timer; nothing happens when it is idle. Ticks already queued still run.
  void StopTimer() override;
  // Queues one call of the tick and returns. Called on the timer's thread (and three times on
  // the starting thread); touches nothing else.
  void QueueTick();

 private:
  PeriodicTimer& timer_;
  const std::function<void(std::function<void()>)> post_;
  const std::function<void()> tick_;
};

}  // namespace midiflash
