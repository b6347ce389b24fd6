// The file check: tests that the image is a Standard MIDI File this program plays, stores its
// header, and scans every track to its End of Track for its length in ticks.
#pragma once

#include <cstdint>

#include "CheckResult.h"
#include "PlayerState.h"
#include "SmfReader.h"

namespace midiflash {

// Where a refusal was found: the track being read (-1 for the header) and the image offset.
struct CheckFailure {
  int32_t track = -1;
  uint64_t offset = 0;
};

class FileCheck {
 public:
  FileCheck(PlayerState& state, SmfReader& reader) : s_(state), r_(reader) {}

  // Checks SMF/SmfSize. Returns a CheckResult; what was stored before a failing test stays stored.
  int32_t SmfPlaySet();
  // Reads the events of a track from its TrkPtr, without running status, up to and including End
  // of Track, leaving TrkPtr right after its length field and TotalClock at the track's length.
  // Stops at the first event the reader refuses; scanResult() then tells why.
  void SkipTrackEvent(int32_t trk);

  // Result of the latest SkipTrackEvent: kCheckPlayable or the reader's refusal.
  int32_t scanResult() const { return scan_.result; }
  // Where the latest refusal of SmfPlaySet was found.
  const CheckFailure& failure() const { return failure_; }

 private:
  int32_t Fail(int32_t result, int32_t track, uint64_t offset);

  PlayerState& s_;
  SmfReader& r_;
  ReadRefusal scan_;
  CheckFailure failure_;
};

}  // namespace midiflash
