#include "FileCheck.h"

#include <cstring>
#include <limits>

namespace midiflash {
namespace {

bool ChunkTypeAt(const std::vector<uint8_t>& image, uint64_t offset, const char* type) {
  return offset + 4 <= image.size() && std::memcmp(image.data() + offset, type, 4) == 0;
}

}  // namespace

const char* DescribeCheckResult(int32_t result) {
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
    default:
      return "unknown result";
  }
}

int32_t FileCheck::Fail(int32_t result, int32_t track, uint64_t offset) {
  failure_.track = track;
  failure_.offset = offset;
  return result;
}

int32_t FileCheck::SmfPlaySet() {
  failure_ = CheckFailure{};
  s_.tTotalClock = 0;
  // Offsets are 32-bit: a larger image could make a cursor wrap.
  if (s_.SmfSize > std::numeric_limits<uint32_t>::max() ||
      s_.SMF.size() > std::numeric_limits<uint32_t>::max()) {
    return Fail(kCheckTooLarge, -1, 0);
  }
  const std::vector<uint8_t>& image = s_.SMF;
  const size_t size = image.size();
  if (size < 4) {
    // Too short to hold the chunk type: "not an SMF" when the bytes that are there already differ.
    if (size > 0 && std::memcmp(image.data(), "MThd", size) != 0) return Fail(kCheckNotSmf, -1, 0);
    return Fail(kCheckHeaderCut, -1, size);
  }
  if (!ChunkTypeAt(image, 0, "MThd")) return Fail(kCheckNotSmf, -1, 0);
  if (size < 8) return Fail(kCheckHeaderCut, -1, size);

  SmfTrack& header = s_.sTrk[0];
  header.TrkPtr = 4;
  s_.HeaderSize = r_.Read4Byte(0);
  if (s_.HeaderSize != 6) return Fail(kCheckNotSmf, -1, 4);
  if (size < 14) return Fail(kCheckHeaderCut, -1, size);
  s_.SmfFormat = r_.Read2Byte(0);
  s_.SmfTracks = r_.Read2Byte(0);
  s_.SmfDivision = r_.Read2Byte(0);
  if (s_.SmfFormat > 1) return Fail(kCheckBadFormat, -1, 8);
  if (s_.SmfTracks > PlayerState::kTrackTableSize) return Fail(kCheckTooManyTracks, -1, 10);
  // Frames per second times ticks per frame: taken as ticks per quarter note it would play the
  // file at a wrong speed, often a hundred times too fast.
  if (s_.SmfDivision & 0x8000) return Fail(kCheckSmpteDivision, -1, 12);
  if (s_.SmfTracks == 0) return kCheckPlayable;

  uint32_t p = header.TrkPtr;
  for (int32_t i = 0; i < s_.SmfTracks; ++i) {
    SmfTrack& t = s_.sTrk[i];
    if (uint64_t{p} + 4 > size) {
      const bool prefix = std::memcmp(image.data() + p, "MTrk", size - p) == 0;
      return Fail(prefix ? kCheckTrackChunkCut : kCheckNoTrackChunk, i, p);
    }
    if (!ChunkTypeAt(image, p, "MTrk")) return Fail(kCheckNoTrackChunk, i, p);
    if (uint64_t{p} + 8 > size) return Fail(kCheckTrackChunkCut, i, p + 4);
    t.TrkPtr = p + 4;
    t.TrkSize = r_.Read4Byte(i);
    t.TrkTop = p + 8;
    t.TotalClock = 0;
    // Scan under the same conditions as playback, which starts each track without running status.
    t.RunSts = 0;
    SkipTrackEvent(i);
    // A track without End of Track reads on into the chunks after it, as if they were its own
    // events, and is refused later at another track or not at all. Where its events pass its
    // declared end and an "MTrk" stands there, that is the fault.
    const uint64_t declared_end = uint64_t{t.TrkTop} + t.TrkSize;
    const uint64_t reached = scan_.result == kCheckPlayable ? t.TrkPtr : scan_.offset;
    if (declared_end < reached && ChunkTypeAt(image, declared_end, "MTrk")) {
      return Fail(kCheckNoEndOfTrack, i, declared_end);
    }
    if (scan_.result != kCheckPlayable) return Fail(scan_.result, i, scan_.offset);
    if (t.TotalClock > s_.tTotalClock) s_.tTotalClock = t.TotalClock;
    p = t.TrkPtr;
  }
  return kCheckPlayable;
}

void FileCheck::SkipTrackEvent(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  TrackCursor c{t.TrkPtr, 0, t.TotalClock};
  const uint8_t* image = s_.SMF.data();
  const uint32_t size = ImageSize(s_);
  SmfEvent e;
  scan_ = ReadRefusal{};
  for (;;) {
    const ReadStep step = ReadTrackEvent(image, size, c, e, scan_);
    if (step == ReadStep::kRefused) {
      t.TrkPtr = c.pos;
      return;
    }
    r_.LogDelta(e.delta, e.status);
    if (step == ReadStep::kEndOfTrack) break;
  }
  t.TrkPtr = c.pos;
  t.TotalClock = c.ticks;
  t.RunSts = c.runSts;
  t.Sts = e.status;
  t.Data1 = e.data1;
  t.DataLen = e.dataLength;
}

}  // namespace midiflash
