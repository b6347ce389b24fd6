// How long a run takes as this program paces it.
#pragma once

#include <cmath>
#include <cstdint>

#include "CheckedFile.h"
#include "MidiWire.h"
#include "TickTimer.h"

namespace midiflash {

// The gap a System Exclusive file leaves after each message has left for the cable, before the
// next one: time for a device to store the block it received. A device that needs more is given
// it by the front ends' gap setting, up to a minute.
inline constexpr uint32_t kDefaultSysExGapMs = 100;
inline constexpr uint32_t kMaxSysExGapMs = 60000;

// Seconds that a run of a System Exclusive file takes on a 31250-baud cable: every byte at the
// cable's rate, and the gap after each message but the last.
inline double SysExRunSeconds(const CheckedFile& file, uint32_t gapMs) {
  if (file.messages.empty()) return 0.0;
  return static_cast<double>(file.wireBytes) / kCableBytesPerSecond +
         (file.messages.size() - 1) * (gapMs / 1000.0);
}

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
