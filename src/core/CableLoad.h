// What a file asks of a 31250-baud MIDI cable when it plays at 120 bpm: the System Exclusive
// messages still on the cable when the next message is due, and the busiest second. A device fed
// faster than its cable carries loses bytes, and an update that loses bytes can leave it unusable.
#pragma once

#include <cstdint>
#include <vector>

#include "CheckedFile.h"
#include "MidiWire.h"

namespace midiflash {

// Seconds that `ticks` take at 120 bpm with `division` ticks a quarter note (a quarter note lasts
// half a second). The division is never 0 in a checked file.
inline double TicksToSeconds(uint64_t ticks, uint16_t division) {
  return static_cast<double>(ticks) / division * 0.5;
}

// A System Exclusive or escape message whose wire time is longer than the time to the next
// message of the file.
struct CableOverrun {
  int32_t track = 0;
  uint32_t tick = 0;
  uint64_t bytes = 0;  // as sent: F0 and the data bytes
  int32_t nextTrack = 0;
  uint32_t nextTick = 0;

  double WireSeconds() const { return bytes * (kCableMicrosPerByte / 1e6); }
};

struct CableLoad {
  std::vector<CableOverrun> overruns;
  // The one-second stretch (2 × division ticks) that sends the most bytes, and its first tick.
  uint64_t busiestSecondBytes = 0;
  uint32_t busiestSecondTick = 0;

  // System Exclusive messages sent in packets: an F0 event whose data does not end with F7 (the
  // rest follows in F7 events). Every packet goes out as a message of its own with F0 in front,
  // so the device receives them as separate messages. The first of them, and how many.
  uint64_t splitSysEx = 0;
  int32_t firstSplitTrack = 0;
  uint32_t firstSplitTick = 0;

  bool RateExceeded() const { return busiestSecondBytes > kCableBytesPerSecond; }
};

// Measures the cable load of a playable file in one pass over all tracks at once, in the order
// playback sends: by tick, and at the same tick track 0 first, then file order. Meta events send
// nothing and count for nothing. Holds one cursor per track and one entry per tick of the latest
// second, nothing per message.
CableLoad MeasureCableLoad(const CheckedFile& file);

}  // namespace midiflash
