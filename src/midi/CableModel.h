// A clock for the MIDI cable behind a kernel MIDI port. A driver may hold far more than any status
// shows (the serial driver keeps 32 KiB of its own), so the sender never hands the kernel bytes
// faster than a 31250-baud cable carries them, and counts a byte as gone only once a cable a
// little slower than nominal would have sent it. Not thread-safe; time is passed in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "MidiWire.h"

namespace midiflash {

class CableModel {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // The cable's own rate. The drain clock runs 5 % slower: a cable's clock may be 1 % off, and a
  // busy machine may feed its UART late. After it, the UART's own FIFO needs a moment more.
  static constexpr double kBytesPerSecond = kCableBytesPerSecond;
  static constexpr double kDrainBytesPerSecond = kBytesPerSecond * 0.95;
  static constexpr std::chrono::milliseconds kSettle{50};

  // At most `ahead_bytes` may wait in the kernel beyond what the cable has sent.
  explicit CableModel(size_t ahead_bytes) : ahead_bytes_(ahead_bytes) {}

  // Earliest moment, not before `now`, at which `n` more bytes may be handed over without more
  // than `ahead_bytes` waiting. A piece larger than that waits until the cable is idle.
  TimePoint ReadyAt(size_t n, TimePoint now) const;
  // Records `n` bytes handed to the kernel at `now`.
  void Handed(size_t n, TimePoint now);
  // Bytes that may still wait for the cable at `now`, by the slower drain clock (at least 1 until
  // kSettle after it); 0 once all of them have surely left.
  uint64_t Backlog(TimePoint now) const;
  // Forgets everything handed over (a new destination).
  void Reset() { *this = CableModel(ahead_bytes_); }

 private:
  size_t ahead_bytes_;
  TimePoint pace_end_{};   // when a nominal cable has sent every byte handed over
  TimePoint drain_end_{};  // the same on the slower drain clock
};

}  // namespace midiflash
