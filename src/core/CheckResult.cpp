#include "CheckResult.h"

namespace midiflash {

const char* CheckReason(int32_t result) {
  switch (result) {
    case kCheckPlayable:
      return "playable";
    case kCheckNotSmf:
      return "not a Standard MIDI File: it does not begin with an \"MThd\" header of length 6";
    case kCheckBadFormat:
      return "format 2 or higher: only formats 0 and 1 can be played";
    case kCheckTooManyTracks:
      return "more than 33 tracks";
    case kCheckNoTrackChunk:
      return "a track chunk (\"MTrk\") does not begin where the previous track ended";
    case kCheckHeaderCut:
      return "the file ends inside its header chunk";
    case kCheckTrackChunkCut:
      return "the file ends where a track chunk should begin or inside its length";
    case kCheckEventCut:
      return "an event, delta time or data length runs past the end of the file";
    case kCheckNoEndOfTrack:
      return "a track has no End of Track event";
    case kCheckTooLarge:
      return "the file is too large (4 GiB or more)";
    case kCheckSystemStatus:
      return "a system status other than F0, F7 and FF stands inside a track";
    case kCheckNoRunningStatus:
      return "a data byte stands where a status belongs, with no running status to apply";
    case kCheckDataByteHigh:
      return "a channel message has a data byte of 0x80 or more";
    case kCheckTickOverflow:
      return "a track is longer than 2^32 - 1 ticks";
    case kCheckSmpteDivision:
      return "the division counts SMPTE frames, not ticks per quarter note";
    case kCheckDivisionZero:
      return "the division is 0 ticks per quarter note, so playback would never move";
    case kCheckTooLargeForDestination:
      return "a message is larger than the MIDI destination carries";
    case kCheckSysExOutside:
      return "a byte other than F0 stands outside the System Exclusive messages";
    case kCheckSysExStatusInside:
      return "a status byte other than F7 stands inside a System Exclusive message";
    case kCheckSysExCut:
      return "the file ends inside a System Exclusive message, before its F7";
    case kCheckEmptyFile:
      return "the file is empty";
    default:
      return "unknown result";
  }
}

}  // namespace midiflash
