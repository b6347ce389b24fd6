// The clock of a real run.
#pragma once

#include "Clock.h"

namespace midiflash {

// CLOCK_MONOTONIC, and CLOCK_REALTIME for the calendar.
class SteadyClock : public Clock {
 public:
  double Now() override;
  double UtcNow() override;
};

}  // namespace midiflash
