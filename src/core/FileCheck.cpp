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
      return "a track runs to the end of the file without an End of Track event";
    case kCheckTooLarge:
      return "the file is too large (4 GiB or more)";
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
  if (image.size() < 4) {
    // Too short to hold the chunk type: refuse as "not an SMF" when the bytes that are there
    // already differ from it.
    if (!image.empty() && std::memcmp(image.data(), "MThd", image.size()) != 0) {
      return Fail(kCheckNotSmf, -1, 0);
    }
    return Fail(kCheckHeaderCut, -1, image.size());
  }
  if (!ChunkTypeAt(image, 0, "MThd")) return Fail(kCheckNotSmf, -1, 0);

  SmfTrack& header = s_.sTrk[0];
  header.TrkPtr = 4;
  r_.ClearOverrun();
  s_.HeaderSize = r_.Read4Byte(0);
  if (r_.Overran()) return Fail(kCheckHeaderCut, -1, image.size());
  if (s_.HeaderSize != 6) return Fail(kCheckNotSmf, -1, 4);
  s_.SmfFormat = r_.Read2Byte(0);
  s_.SmfTracks = r_.Read2Byte(0);
  s_.SmfDivision = r_.Read2Byte(0);
  if (r_.Overran()) return Fail(kCheckHeaderCut, -1, image.size());
  if (s_.SmfFormat > 1) return Fail(kCheckBadFormat, -1, 8);
  if (s_.SmfTracks > PlayerState::kTrackTableSize) return Fail(kCheckTooManyTracks, -1, 10);
  if (s_.SmfTracks == 0) return kCheckPlayable;

  uint32_t p = header.TrkPtr;
  for (int32_t i = 0; i < s_.SmfTracks; ++i) {
    SmfTrack& t = s_.sTrk[i];
    if (uint64_t{p} + 4 > image.size()) {
      if (std::memcmp(image.data() + p, "MTrk", image.size() - p) != 0) {
        return Fail(kCheckNoTrackChunk, i, p);
      }
      return Fail(kCheckTrackChunkCut, i, p);
    }
    if (!ChunkTypeAt(image, p, "MTrk")) return Fail(kCheckNoTrackChunk, i, p);
    t.TrkPtr = p + 4;
    t.TrkSize = r_.Read4Byte(i);
    if (r_.Overran()) return Fail(kCheckTrackChunkCut, i, p + 4);
    t.TrkTop = p + 8;
    t.TotalClock = 0;
    // Scan under the same conditions as playback, which starts each track without running status.
    t.RunSts = 0;
    SkipTrackEvent(i);
    if (scan_result_ != kCheckPlayable) return Fail(scan_result_, i, t.TrkPtr);
    if (t.TotalClock > s_.tTotalClock) s_.tTotalClock = t.TotalClock;
    p = t.TrkPtr;
  }
  return kCheckPlayable;
}

void FileCheck::SkipTrackEvent(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  const uint32_t meta = static_cast<uint32_t>(s_.csmf.META_STS);
  const uint32_t eot = static_cast<uint32_t>(s_.csmf.META_EOT);
  const uint32_t sysex = static_cast<uint32_t>(s_.cmidi.SYSEX);
  const uint32_t eox = static_cast<uint32_t>(s_.cmidi.EOX);
  const uint64_t size = s_.SMF.size();

  scan_result_ = kCheckPlayable;
  r_.ClearOverrun();
  for (;;) {
    if (t.TrkPtr >= size) {
      scan_result_ = kCheckNoEndOfTrack;
      return;
    }
    // A data byte with no running status costs that one byte; the scan reads on behind it.
    r_.ReadEvent(trk);
    if (r_.Overran()) {
      scan_result_ = kCheckEventCut;
      return;
    }
    if (t.Sts == meta && t.Data1 == eot) return;
    if (t.Sts == meta || t.Sts == sysex || t.Sts == eox) {
      if (t.DataLen > size - t.TrkPtr) {
        scan_result_ = kCheckEventCut;
        return;
      }
      t.TrkPtr += t.DataLen;
    }
  }
}

}  // namespace midiflash
