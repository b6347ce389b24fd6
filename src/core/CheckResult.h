// Why an update file is refused. 0 is playable; every other value refuses the file before
// anything of it is sent.
#pragma once

#include <cstdint>

namespace midiflash {

enum CheckResult : int32_t {
  kCheckPlayable = 0,
  kCheckNotSmf = 1,            // does not begin with "MThd", or the header length is not 6
  kCheckBadFormat = 3,         // format greater than 1
  kCheckTooManyTracks = 4,     // more than 33 tracks
  kCheckNoTrackChunk = 17,     // no "MTrk" where a track chunk must begin
  kCheckHeaderCut = 18,        // the file ends inside the header chunk
  kCheckTrackChunkCut = 19,    // the file ends where a track chunk (or its length) should be
  kCheckEventCut = 20,         // an event, delta time or data length runs past the end of the file
  kCheckNoEndOfTrack = 21,     // a track has no End of Track before the file or its chunk ends
  kCheckTooLarge = 22,         // too large to address with 32-bit offsets
  kCheckSystemStatus = 23,     // a system status other than F0, F7 and FF inside a track
  kCheckNoRunningStatus = 24,  // a data byte where a status belongs, and no running status
  kCheckDataByteHigh = 25,     // a channel message's data byte is 0x80 or more
  kCheckTickOverflow = 26,     // a track's tick sum does not fit 32 bits
  kCheckSmpteDivision = 27,    // the division counts SMPTE frames, not ticks per quarter note
  kCheckDivisionZero = 28,     // zero ticks per quarter note: playback would never move
  kCheckTooLargeForDestination = 29,  // a message is larger than the destination carries
  kCheckSysExOutside = 30,       // a byte other than F0 where a System Exclusive message must begin
  kCheckSysExStatusInside = 31,  // a status byte other than F7 inside a System Exclusive message
  kCheckSysExCut = 32,           // the file ends inside a System Exclusive message, before its F7
  kCheckEmptyFile = 33,          // the file holds no byte at all
};

// The reason for a result code in one line, for people; "unknown result" for any other value.
const char* CheckReason(int32_t result);

}  // namespace midiflash
