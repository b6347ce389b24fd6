// A walk over every event of a checked file, track by track in file order, with the program's own
// event reader: what it reports is what playback reads, and what it says is sent is what playback
// sends.
#pragma once

#include <cstdint>
#include <functional>

#include "FileCheck.h"
#include "PlayerState.h"

namespace midiflash {

enum class EventKind : uint8_t {
  kChannel,    // channel message: goes out as 2 or 3 bytes
  kSysEx,      // F0 event: goes out as F0 followed by its data bytes
  kEscape,     // F7 event: goes out as F0 (not F7) followed by its data bytes
  kMeta,       // FF event: never sent
  kSystem,     // F1..F6 or F8..FE standing alone: never sent
  kStrayData,  // a data byte where a status belongs and no running status: passed over, never sent
};

// One event as the reader took it.
struct SmfEvent {
  int32_t track = 0;
  uint32_t tick = 0;    // absolute tick in its track: the sum of the delta times, modulo 2^32
  uint32_t offset = 0;  // image offset of the event's delta time
  EventKind kind = EventKind::kChannel;
  uint8_t status = 0;          // status after running status; for kStrayData the data byte itself
  uint8_t data1 = 0;           // first data byte of a channel message; the type of a meta event
  uint8_t data2 = 0;           // second data byte of a three-byte channel message, else 0
  bool runningStatus = false;  // a channel message whose status byte the file left out
  uint32_t dataLength = 0;     // data bytes of a SysEx, escape or meta event; else 0
  uint32_t dataOffset = 0;     // image offset of the first of those data bytes; the data never
                               // runs past the image (an End of Track's is cut at its end)

  // Bytes the event puts on the MIDI cable: 2 or 3 for a channel message, 1 + dataLength for a
  // SysEx or escape event, 0 for everything the program never sends.
  uint64_t WireBytes() const;
};

class EventWalk {
 public:
  explicit EventWalk(PlayerState& state) : s_(state) {}

  // Calls `visit` for each event of tracks 0 .. SmfTracks - 1, each track read again from its
  // TrkTop without running status, End of Track included. The state must hold a file that
  // SmfPlaySet accepted. Every track record is left as it was found, and the reader's log lines
  // (the check wrote them already) are dropped while the walk runs. Returns kCheckPlayable once
  // every track reached its End of Track; kCheckEventCut or kCheckNoEndOfTrack when the image
  // ended first (failure() tells where). No read leaves the image.
  int32_t Walk(const std::function<void(const SmfEvent&)>& visit);

  // Where the latest walk stopped short.
  const CheckFailure& failure() const { return failure_; }

 private:
  int32_t WalkTrack(int32_t trk, const std::function<void(const SmfEvent&)>& visit);

  PlayerState& s_;
  CheckFailure failure_;
};

}  // namespace midiflash
