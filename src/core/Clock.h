// The clock a run is paced by.
#pragma once

namespace midiflash {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a clock that never goes backwards and is not moved by setting the system time.
  virtual double Now() = 0;
};

// CLOCK_MONOTONIC.
class SteadyClock : public Clock {
 public:
  double Now() override;
};

}  // namespace midiflash
