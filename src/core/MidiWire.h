// The MIDI wire as this program sees it: the status bytes it tells apart, how long a channel
// message is, and how fast a MIDI cable carries bytes. The reader, the sequencer, the cable
// analysis and the MIDI backends all take these rules from here.
#pragma once

#include <cstdint>

namespace midiflash {

// System Exclusive. Every exclusive message of a file goes out with it first, escape events too.
inline constexpr uint8_t kSysExStatus = 0xF0;
// End of Exclusive: the last byte of a whole System Exclusive message on the wire.
inline constexpr uint8_t kEndOfExclusive = 0xF7;
// In a Standard MIDI File, the status of an escape event.
inline constexpr uint8_t kEscapeStatus = kEndOfExclusive;
// In a file only: a meta event, never sent.
inline constexpr uint8_t kMetaStatus = 0xFF;
inline constexpr uint8_t kEndOfTrackType = 0x2F;

// Bytes of a channel message (status 0x80..0xEF), status included: 2 for program change and
// channel pressure (0xC0..0xDF), 3 for the others.
inline constexpr uint32_t ChannelMessageLength(uint8_t status) {
  return (status & 0xE0) == 0xC0 ? 2 : 3;
}

// A 31250-baud cable sends ten bits a byte: 3125 bytes a second, 320 microseconds a byte.
inline constexpr uint32_t kCableBytesPerSecond = 3125;
inline constexpr uint32_t kCableMicrosPerByte = 1'000'000 / kCableBytesPerSecond;

}  // namespace midiflash
