// The per-track record: a track's read cursor and its current event.
#pragma once

#include <cstdint>

namespace midiflash {

struct SmfTrack {
  uint32_t TotalClock;  // sum of the delta times read since it was last set to 0
  uint32_t TrkSize;     // length field of the track chunk, as stored
  uint32_t TrkTop;      // image offset of the track's first event
  uint32_t TrkPtr;      // image offset of the next byte to read
  uint32_t RunSts;      // running status; 0 = none yet
  uint32_t Sts;         // status of the current event, after running status
  uint32_t Data1;       // first data byte, or the meta type
  uint32_t Data2;       // second data byte; 0 for program change and channel pressure
  uint32_t DataLen;     // channel message: 2 or 3; SysEx/escape/meta: data bytes that follow
  uint32_t PlaySts;     // widened PLAY while playing, 0 once End of Track was dispatched
  int32_t WaitClock;    // ticks until the current event is due
};

}  // namespace midiflash
