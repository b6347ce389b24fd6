// The one reader of the track format. ReadTrackEvent takes one whole event at a cursor that its
// caller owns and says what it found: an event (with its System Exclusive or meta data), the End
// of Track, or a refusal with its reason and byte offset. The file check, the sequencer, the cable
// analysis and the dump all read through it, so whatever the check accepts is exactly what
// playback reads and sends.
#pragma once

#include <cstdint>
#include <vector>

#include "CheckResult.h"
#include "MidiWire.h"

namespace midiflash {

// Where reading a track stands. Nothing else is carried from one event to the next.
struct TrackCursor {
  uint32_t pos = 0;     // image offset of the next event's delta time
  uint32_t runSts = 0;  // running status: the last channel status read, 0 = none yet
  uint32_t ticks = 0;   // sum of the delta times read; never wraps (see kCheckTickOverflow)
};

enum class EventKind : uint8_t {
  kChannel,  // goes out as 2 or 3 bytes
  kSysEx,    // F0 event: goes out as F0 followed by its data bytes
  kEscape,   // F7 event: goes out as F0 (not F7) followed by its data bytes
  kMeta,     // FF event, End of Track included: never sent
};

// One event as the reader took it.
struct TrackEvent {
  uint32_t offset = 0;  // image offset of its delta time
  uint32_t delta = 0;
  uint32_t tick = 0;  // the track's tick sum with this delta added
  EventKind kind = EventKind::kChannel;
  uint8_t status = 0;          // after running status; F0, F7 or FF for the others
  uint8_t data1 = 0;           // first data byte of a channel message; the type of a meta event
  uint8_t data2 = 0;           // second data byte of a three-byte channel message, else 0
  bool runningStatus = false;  // a channel message whose status byte the file left out
  uint32_t dataLength = 0;     // data bytes of a SysEx, escape or meta event, all inside the image
                               // (an End of Track's are cut at the image end)
  uint32_t dataOffset = 0;     // image offset of the first of them

  // Bytes it puts on the MIDI cable: 2 or 3 for a channel message, 1 + dataLength for SysEx and
  // escape events, 0 for meta events.
  uint64_t WireBytes() const {
    switch (kind) {
      case EventKind::kChannel:
        return ChannelMessageLength(status);
      case EventKind::kSysEx:
      case EventKind::kEscape:
        return uint64_t{dataLength} + 1;
      default:
        return 0;
    }
  }
};

enum class ReadStep : uint8_t { kEvent, kEndOfTrack, kRefused };

// Why and where a track cannot be read on.
struct ReadRefusal {
  int32_t result = kCheckPlayable;  // a CheckResult
  uint32_t offset = 0;              // image offset of the byte that refused it
};

// Reads the event at `c` from `image` of `size` bytes, never outside it.
// kEvent: `e` holds the event and `c` stands on the next one (past a SysEx's, escape's or meta
// event's data bytes). kEndOfTrack: `e` is the End of Track and `c` stands right after its length
// field, where the next track chunk begins. kRefused: `why` holds the CheckResult and offset,
// `c` is unchanged and `e` undefined. Refused are: the image ending at an event boundary
// (kCheckNoEndOfTrack) or inside an event (kCheckEventCut), a data byte where a status belongs
// without running status, a system status other than F0, F7 and FF, a channel data byte of 0x80
// or more, and a tick sum past 2^32 - 1.
[[gnu::always_inline]] inline ReadStep ReadTrackEvent(const uint8_t* image, uint32_t size,
                                                      TrackCursor& c, TrackEvent& e,
                                                      ReadRefusal& why) {
  uint32_t p = c.pos;
  const auto refuse = [&why](int32_t result, uint32_t at) {
    why = ReadRefusal{result, at};
    return ReadStep::kRefused;
  };
  // A run of continuation bytes only shifts high bits out; the image end stops it.
  const auto number = [&](uint32_t& v) {
    v = 0;
    for (;;) {
      if (p >= size) return false;
      const uint8_t b = image[p++];
      v = (v << 7) | (b & 0x7Fu);
      if ((b & 0x80) == 0) return true;
    }
  };
  if (p >= size) return refuse(kCheckNoEndOfTrack, p);
  e.offset = p;
  uint32_t delta;
  if (!number(delta)) return refuse(kCheckEventCut, size);
  if (delta > UINT32_MAX - c.ticks) return refuse(kCheckTickOverflow, e.offset);
  if (p >= size) return refuse(kCheckEventCut, size);
  e.delta = delta;
  e.tick = c.ticks + delta;
  const uint8_t first = image[p];

  if (first < kSysExStatus) {
    uint32_t status = first;
    e.runningStatus = first < 0x80;
    if (e.runningStatus) {
      if (c.runSts == 0) return refuse(kCheckNoRunningStatus, p);
      status = c.runSts;
    } else {
      ++p;
    }
    const uint32_t n = ChannelMessageLength(static_cast<uint8_t>(status)) - 1;
    if (size - p < n) return refuse(kCheckEventCut, size);
    for (uint32_t i = 0; i < n; ++i) {
      if (image[p + i] >= 0x80) return refuse(kCheckDataByteHigh, p + i);
    }
    e.kind = EventKind::kChannel;
    e.status = static_cast<uint8_t>(status);
    e.data1 = image[p];
    e.data2 = n == 2 ? image[p + 1] : 0;
    e.dataLength = 0;
    e.dataOffset = 0;
    c.pos = p + n;
    c.runSts = status;
    c.ticks = e.tick;
    return ReadStep::kEvent;
  }

  ++p;
  e.runningStatus = false;
  e.status = first;
  e.data1 = 0;
  e.data2 = 0;
  uint32_t length;
  if (first == kSysExStatus || first == kEscapeStatus) {
    e.kind = first == kSysExStatus ? EventKind::kSysEx : EventKind::kEscape;
  } else if (first == kMetaStatus) {
    e.kind = EventKind::kMeta;
    if (p >= size) return refuse(kCheckEventCut, size);
    e.data1 = image[p++];
  } else {
    return refuse(kCheckSystemStatus, p - 1);
  }
  if (!number(length)) return refuse(kCheckEventCut, size);
  e.dataOffset = p;
  if (e.kind == EventKind::kMeta && e.data1 == kEndOfTrackType) {
    // The next chunk is sought right after the length: End of Track's own data is never passed.
    e.dataLength = length < size - p ? length : size - p;
    c.pos = p;
    c.ticks = e.tick;
    return ReadStep::kEndOfTrack;
  }
  if (length > size - p) return refuse(kCheckEventCut, p);
  e.dataLength = length;
  c.pos = p + length;
  c.ticks = e.tick;
  return ReadStep::kEvent;
}

// Appends the bytes that `e`, read from `image`, puts on the wire: a channel message as 2 or 3
// bytes, a System Exclusive or escape event as F0 and its data bytes (F0 also in front of an
// escape event's data), nothing for a meta event.
void AppendWireMessage(const uint8_t* image, const TrackEvent& e, std::vector<uint8_t>& out);

}  // namespace midiflash
