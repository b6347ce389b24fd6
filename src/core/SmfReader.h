// The byte readers and the event reader over the file image. Each takes a track index and reads at
// that track's cursor TrkPtr, moving it past every byte it takes.
//
// No read ever leaves the image: a byte asked for past its end reads as 0, leaves TrkPtr at the
// end and sets Overran(), which stays set until ClearOverrun().
#pragma once

#include <cstdint>

#include "PlayerState.h"

namespace midiflash {

class SmfReader {
 public:
  explicit SmfReader(PlayerState& state) : s_(state) {}

  // Big-endian 16-bit number. Returns 0 bits for bytes past the end (see Overran()).
  uint16_t Read2Byte(int32_t trk);
  // Big-endian 32-bit number.
  uint32_t Read4Byte(int32_t trk);
  // Variable-length number of any byte count; bits shifted above bit 31 are lost.
  uint32_t ReadVariNum(int32_t trk);
  // Reads the next event into the track record. Returns 1 when an event was read; 0 when the body
  // begins with a data byte and the track has no running status, or when the image ended before
  // the event was complete (then Overran() is set).
  uint8_t ReadEvent(int32_t trk);

  bool Overran() const { return overran_; }
  // Whether ReadEvent writes the "delta_time > 8000" lines (it does unless told otherwise).
  void SetLogging(bool on) { logging_ = on; }
  void ClearOverrun() { overran_ = false; }

 private:
  uint8_t TakeByte(SmfTrack& t);
  uint32_t VariNum(SmfTrack& t);

  PlayerState& s_;
  bool overran_ = false;
  bool logging_ = true;
};

}  // namespace midiflash
