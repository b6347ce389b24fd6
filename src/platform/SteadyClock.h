// The clock of a real run.
#pragma once

#include "Clock.h"

namespace midiflash {

// CLOCK_MONOTONIC.
class SteadyClock : public Clock {
 public:
  double Now() override;
};

}  // namespace midiflash
