// A walk over every event of a checked file, track by track in file order, with the program's own
// reader: what it reports is what playback reads, and what it says is sent is what playback sends.
#pragma once

#include <cstdint>
#include <functional>

#include "FileCheck.h"
#include "PlayerState.h"
#include "SmfReader.h"

namespace midiflash {

class EventWalk {
 public:
  using Visit = std::function<void(int32_t track, const SmfEvent&)>;

  explicit EventWalk(const PlayerState& state) : s_(state) {}

  // Calls `visit` for each event of tracks 0 .. SmfTracks - 1 of a file SmfPlaySet accepted, each
  // track read from its TrkTop without running status, End of Track included. Touches no track
  // record. Returns kCheckPlayable once every track reached its End of Track, else the reader's
  // refusal (an image that no longer reads as checked; failure() tells where).
  int32_t Walk(const Visit& visit);

  const CheckFailure& failure() const { return failure_; }

 private:
  const PlayerState& s_;
  CheckFailure failure_;
};

}  // namespace midiflash
