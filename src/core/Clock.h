// The clock a run is paced by. SteadyClock (src/platform) reads CLOCK_MONOTONIC; tests move a fake.
#pragma once

namespace midiflash {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a clock that never goes backwards and is not moved by setting the system time.
  virtual double Now() = 0;
};

}  // namespace midiflash
