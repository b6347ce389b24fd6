// The core's handle on the tick hand-off: starting it queues playback ticks onto the thread that
// runs the workflow (three at once, then one per timer period); stopping it queues no more.
#pragma once

#include <cstdint>

namespace midiflash {

// The timer period: 128 frames at 44100 Hz, about 2.9025 ms.
inline constexpr uint32_t kTickFrames = 128;
inline constexpr uint32_t kTickFrameRate = 44100;
inline constexpr double kTickPeriodSeconds = static_cast<double>(kTickFrames) / kTickFrameRate;

class TickTimer {
 public:
  virtual ~TickTimer() = default;
  // Stops a running timer, then starts it anew. Ticks already queued are not withdrawn.
  virtual void StartTimer() = 0;
  // Stops the timer; nothing happens when it is idle. Ticks already queued still run.
  virtual void StopTimer() = 0;
};

}  // namespace midiflash
