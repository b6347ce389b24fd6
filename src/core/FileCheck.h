// The file check: tests that the image is a Standard MIDI File this program plays, stores its
// header, and scans every track to its End of Track for its length in ticks.
#pragma once

#include <cstdint>

#include "PlayerState.h"
#include "SmfReader.h"

namespace midiflash {

// Results of SmfPlaySet. 0 is playable; every other value refuses the file.
enum CheckResult : int32_t {
  kCheckPlayable = 0,
  kCheckNotSmf = 1,          // does not begin with "MThd", or the header length is not 6
  kCheckBadFormat = 3,       // format greater than 1
  kCheckTooManyTracks = 4,   // more than 33 tracks
  kCheckNoTrackChunk = 17,   // no "MTrk" where a track chunk must begin
  kCheckHeaderCut = 18,      // the file ends inside the header chunk
  kCheckTrackChunkCut = 19,  // the file ends where a track chunk (or its length) should be
  kCheckEventCut = 20,       // an event, delta time or data length runs past the end of the file
  kCheckNoEndOfTrack = 21,   // a track's events stop at the end of the file with no End of Track
  kCheckTooLarge = 22,       // too large to address with 32-bit offsets
};

// One-line reason for a result code, for people.
const char* DescribeCheckResult(int32_t result);

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
  // Reads the events of a track from its TrkPtr up to and including End of Track. Stops early
  // when the image ends; scanResult() then tells why.
  void SkipTrackEvent(int32_t trk);

  // Result of the latest SkipTrackEvent: kCheckPlayable, kCheckEventCut or kCheckNoEndOfTrack.
  int32_t scanResult() const { return scan_result_; }
  // Where the latest refusal of SmfPlaySet was found.
  const CheckFailure& failure() const { return failure_; }

 private:
  int32_t Fail(int32_t result, int32_t track, uint64_t offset);

  PlayerState& s_;
  SmfReader& r_;
  int32_t scan_result_ = kCheckPlayable;
  CheckFailure failure_;
};

}  // namespace midiflash
