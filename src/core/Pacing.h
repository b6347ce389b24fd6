// How long a run takes as this program paces it.
#pragma once

#include <cmath>
#include <cstdint>

#include "TickTimer.h"

namespace midiflash {

// Seconds that a run of `ticks` ticks takes at 120 bpm with `division` ticks a quarter note, on a
// timer that keeps its period exactly. Each period advances the whole ticks it is worth and drops
// the fraction; a period worth less than one tick adds up with the following ones until they make
// a whole tick. So at division 480 a period (2.79 ticks) advances 2 and a run lasts 1.4 times the
// file's nominal length. The division of a checked file is never 0.
inline double PacedSeconds(uint32_t ticks, uint16_t division) {
  if (ticks == 0) return 0.0;
  const double worth = division * kTickPeriodSeconds / 0.5;  // ticks one period is worth
  const double periods_per_tick_step = worth >= 1.0 ? 1.0 : std::ceil(1.0 / worth - 1e-9);
  const double ticks_per_step = worth >= 1.0 ? std::floor(worth) : 1.0;
  return std::ceil(ticks / ticks_per_step) * periods_per_tick_step * kTickPeriodSeconds;
}

}  // namespace midiflash
