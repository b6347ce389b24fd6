// All state of one player: the constant sets, the file image and what the file check learnt from
// it, the tempo and timing values and the track table. The front ends own one
// through UpdateWorkflow; every core operation works on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Constants.h"
#include "SmfTrack.h"

namespace midiflash {

class PlayerState {
 public:
  static constexpr int kTrackTableSize = 33;

  PlayerState();

  // The widened PLAY value (0xFFFFFF80).
  uint32_t PlayFlag() const { return Widen(cseq.PLAY); }
  // True when the record is marked as playing.
  bool IsPlaying(const SmfTrack& t) const { return (t.PlaySts & PlayFlag()) == PlayFlag(); }

  // Constant sets and message texts.
  Cmessage cmessage;
  Cmidi cmidi;
  Cseq cseq;
  Cvnum cvnum;
  Csmf csmf;

  // File image and header.
  std::string fileUrl;       // path of the chosen update file
  std::vector<uint8_t> SMF;  // the current file image; all offsets index into it
  uint64_t SmfSize = 0;      // bytes in the image as loaded
  uint32_t HeaderSize = 0;
  uint16_t SmfFormat = 0;
  uint16_t SmfTracks = 0;
  uint16_t SmfDivision = 0;
  uint32_t tTotalClock = 0;

  // Tempo and clock. date, curInterval and lastInterval are seconds on the monotonic clock.
  int16_t SmfTempo = 0;
  int16_t RelTempo = 0;
  int16_t PlayTempo = 0;
  uint32_t nTotalClock = 0;
  double date = 0.0;
  double curInterval = 0.0;
  double lastInterval = 0.0;

  // The track table of kTrackTableSize records, allocated once and kept.
  const std::unique_ptr<SmfTrack[]> sTrk;
};

}  // namespace midiflash
