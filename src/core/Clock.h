// The clock a run is paced by, and the calendar time its receipt records. SteadyClock
// (src/platform) reads CLOCK_MONOTONIC and CLOCK_REALTIME; tests move a fake.
#pragma once

namespace midiflash {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a clock that never goes backwards and is not moved by setting the system time.
  virtual double Now() = 0;
  // Seconds since 1970-01-01 00:00 UTC, as the system's calendar clock says; only for telling
  // people when something happened, never for pacing.
  virtual double UtcNow() = 0;
};

}  // namespace midiflash
