#include "CheckedFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "Log.h"
#include "TrackReader.h"

namespace midiflash {
namespace {

constexpr uint32_t kHeaderBytes = 14;  // "MThd", its length 6, format, tracks, division

bool ChunkTypeAt(const std::vector<uint8_t>& image, uint64_t offset, const char* type) {
  return offset + 4 <= image.size() && std::memcmp(image.data() + offset, type, 4) == 0;
}

uint32_t Be(const std::vector<uint8_t>& image, uint32_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | image[at + i];
  return v;
}

// Long delta times are worth a line in the log: a file that waits minutes between two messages is
// more often damaged than meant.
void LogLongDelta(const TrackEvent& e) {
  if (e.delta <= 8000) return;
  LogLine("delta_time > 8000");
  LogLine("status: %02x", e.status);
}

class Checker {
 public:
  explicit Checker(std::vector<uint8_t> image) { f_.image = std::move(image); }

  CheckedFile Run() && {
    f_.result = Check();
    return std::move(f_);
  }

 private:
  int32_t Fail(int32_t result, int32_t track, uint64_t offset) {
    f_.failure = CheckFailure{track, offset};
    return result;
  }

  int32_t Check() {
    const std::vector<uint8_t>& image = f_.image;
    // Offsets are 32-bit: a larger image could make a cursor wrap.
    if (image.size() > std::numeric_limits<uint32_t>::max()) return Fail(kCheckTooLarge, -1, 0);
    // Nothing to tell the kind by, and nothing to send: no kind's refusal would say why.
    if (image.empty()) return Fail(kCheckEmptyFile, -1, 0);
    if (image[0] == kSysExStatus) {
      f_.kind = FileKind::kSysEx;
      return CheckSysEx();
    }
    f_.kind = FileKind::kSmf;
    const uint32_t size = static_cast<uint32_t>(image.size());
    if (size < 4) {
      // Too short to hold the chunk type: "not an SMF" when the bytes that are there already
      // differ.
      if (std::memcmp(image.data(), "MThd", size) != 0) return Fail(kCheckNotSmf, -1, 0);
      return Fail(kCheckHeaderCut, -1, size);
    }
    if (!ChunkTypeAt(image, 0, "MThd")) return Fail(kCheckNotSmf, -1, 0);
    if (size < 8) return Fail(kCheckHeaderCut, -1, size);
    f_.headerLength = Be(image, 4, 4);
    if (f_.headerLength != 6) return Fail(kCheckNotSmf, -1, 4);
    if (size < kHeaderBytes) return Fail(kCheckHeaderCut, -1, size);
    f_.format = static_cast<uint16_t>(Be(image, 8, 2));
    f_.trackCount = static_cast<uint16_t>(Be(image, 10, 2));
    f_.division = static_cast<uint16_t>(Be(image, 12, 2));
    f_.headerRead = true;
    if (f_.format > 1) return Fail(kCheckBadFormat, -1, 8);
    if (f_.trackCount > kMaxTracks) return Fail(kCheckTooManyTracks, -1, 10);
    // Frames per second times ticks per frame: taken as ticks per quarter note it would play the
    // file at a wrong speed, often a hundred times too fast.
    if (f_.division & 0x8000) return Fail(kCheckSmpteDivision, -1, 12);
    if (f_.division == 0) return Fail(kCheckDivisionZero, -1, 12);

    uint32_t p = kHeaderBytes;
    for (int32_t i = 0; i < f_.trackCount; ++i) {
      if (uint64_t{p} + 4 > size) {
        const bool prefix = std::memcmp(image.data() + p, "MTrk", size - p) == 0;
        return Fail(prefix ? kCheckTrackChunkCut : kCheckNoTrackChunk, i, p);
      }
      if (!ChunkTypeAt(image, p, "MTrk")) return Fail(kCheckNoTrackChunk, i, p);
      if (uint64_t{p} + 8 > size) return Fail(kCheckTrackChunkCut, i, p + 4);
      TrackSpan span{Be(image, p + 4, 4), p + 8, 0};
      // Scanned under the same conditions as playback, which starts each track without running
      // status.
      TrackCursor c{span.firstEvent, 0, 0};
      ReadRefusal why;
      const bool ended = ScanTrack(i, size, c, why);
      // A track without End of Track reads on into the chunks after it, as if they were its own
      // events, and is refused later at another track or not at all. Where its events pass its
      // declared end and an "MTrk" stands there, that is the fault.
      const uint64_t declared_end = uint64_t{span.firstEvent} + span.declaredLength;
      const uint64_t reached = ended ? c.pos : why.offset;
      if (declared_end < reached && ChunkTypeAt(image, declared_end, "MTrk")) {
        return Fail(kCheckNoEndOfTrack, i, declared_end);
      }
      if (!ended) return Fail(why.result, i, why.offset);
      span.ticks = c.ticks;
      f_.tracks.push_back(span);
      f_.totalTicks = std::max(f_.totalTicks, c.ticks);
      p = c.pos;
    }
    return kCheckPlayable;
  }

  // A System Exclusive file goes out exactly as it stands, so every byte must belong to a whole
  // message: a stray byte, a message that another status cuts short, or a last message without
  // its F7 would reach the device as something the file does not mean.
  int32_t CheckSysEx() {
    const std::vector<uint8_t>& image = f_.image;
    const auto size = static_cast<uint32_t>(image.size());
    for (uint32_t p = 0; p < size;) {
      if (image[p] != kSysExStatus) return Fail(kCheckSysExOutside, -1, p);
      const uint32_t start = p++;
      while (p < size && image[p] < 0x80) ++p;
      if (p == size) return Fail(kCheckSysExCut, -1, size);
      if (image[p] != kEndOfExclusive) return Fail(kCheckSysExStatusInside, -1, p);
      const MessageSpan m{start, ++p - start};
      f_.messages.push_back(m);
      f_.wireBytes += m.length;
      if (m.length > f_.largest.bytes) {
        f_.largest = WireMessageAt{m.length, -1, 0, uint32_t(f_.messages.size()), start};
      }
    }
    return kCheckPlayable;
  }

  // Reads track `track` from `c` to its End of Track, counting what it sends. False at the first
  // event the reader refuses (`why` says why), `c` then standing at that event.
  bool ScanTrack(int32_t track, uint32_t size, TrackCursor& c, ReadRefusal& why) {
    TrackEvent e;
    for (;;) {
      const ReadStep step = ReadTrackEvent(f_.image.data(), size, c, e, why);
      if (step == ReadStep::kRefused) return false;
      LogLongDelta(e);
      if (step == ReadStep::kEndOfTrack) return true;
      const uint64_t bytes = e.WireBytes();
      f_.wireBytes += bytes;
      if (bytes > f_.largest.bytes) f_.largest = WireMessageAt{bytes, track, e.tick};
    }
  }

  CheckedFile f_;
};

// Up to four bytes from `offset`, as hex, to show what stands where a chunk type was expected.
std::string BytesAt(const std::vector<uint8_t>& image, uint64_t offset) {
  std::string out;
  for (uint64_t i = offset; i < image.size() && i < offset + 4; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02X", out.empty() ? "" : " ", image[i]);
    out += hex;
  }
  return out.empty() ? "the end of the file" : out;
}

// Where the message after the whole ones of a System Exclusive file begins.
uint32_t NextMessageAt(const CheckedFile& file) {
  return file.messages.empty() ? 0 : file.messages.back().offset + file.messages.back().length;
}

}  // namespace

CheckedFile CheckFile(std::vector<uint8_t> image) {
  return Checker(std::move(image)).Run();
}

std::string ExplainRefusal(const CheckedFile& file) {
  const CheckFailure& f = file.failure;
  const unsigned long long at = f.offset;
  const size_t size = file.image.size();
  char where[200] = "";
  switch (file.result) {
    case kCheckNotSmf:
      if (f.offset == 4) {
        std::snprintf(where, sizeof where, " (header length %u)", file.headerLength);
      } else {
        std::snprintf(where, sizeof where,
                      " (it begins with %s; a System Exclusive file begins with F0)",
                      BytesAt(file.image, 0).c_str());
      }
      break;
    case kCheckBadFormat:
      std::snprintf(where, sizeof where, " (format %u)", file.format);
      break;
    case kCheckTooManyTracks:
      std::snprintf(where, sizeof where, " (%u tracks)", file.trackCount);
      break;
    case kCheckNoTrackChunk:
      std::snprintf(where, sizeof where,
                    ": the chunk of track %d was expected at byte offset %llu, which holds %s",
                    f.track, at, BytesAt(file.image, f.offset).c_str());
      break;
    case kCheckHeaderCut:
      std::snprintf(where, sizeof where, " (the file is %zu bytes long)", size);
      break;
    case kCheckTrackChunkCut:
      std::snprintf(where, sizeof where, ": track %d, chunk at byte offset %llu of a %zu-byte file",
                    f.track, at, size);
      break;
    case kCheckEventCut:
      std::snprintf(where, sizeof where,
                    ": track %d, reading stopped at byte offset %llu of a %zu-byte file", f.track,
                    at, size);
      break;
    case kCheckNoEndOfTrack:
      if (f.offset < size) {
        std::snprintf(where, sizeof where,
                      ": track %d, whose events run on past its chunk into the next track chunk "
                      "at byte offset %llu",
                      f.track, at);
      } else {
        std::snprintf(where, sizeof where, ": track %d runs to the end of the %zu-byte file",
                      f.track, size);
      }
      break;
    case kCheckSystemStatus:
    case kCheckNoRunningStatus:
    case kCheckDataByteHigh:
      std::snprintf(where, sizeof where, ": track %d, byte %s at byte offset %llu", f.track,
                    BytesAt(file.image, f.offset).substr(0, 2).c_str(), at);
      break;
    case kCheckTickOverflow:
      std::snprintf(where, sizeof where, ": track %d, the event at byte offset %llu", f.track, at);
      break;
    case kCheckSmpteDivision:
    case kCheckDivisionZero:
      std::snprintf(where, sizeof where, " (division %04X at byte offset 12)", file.division);
      break;
    case kCheckSysExOutside:
      std::snprintf(where, sizeof where, ": byte %s at byte offset %llu, after message %zu",
                    BytesAt(file.image, f.offset).substr(0, 2).c_str(), at, file.messages.size());
      break;
    case kCheckSysExStatusInside:
      std::snprintf(where, sizeof where,
                    ": byte %s at byte offset %llu, inside message %zu (from byte offset %u)",
                    BytesAt(file.image, f.offset).substr(0, 2).c_str(), at,
                    file.messages.size() + 1, NextMessageAt(file));
      break;
    case kCheckSysExCut:
      std::snprintf(where, sizeof where,
                    ": message %zu, from byte offset %u, runs to the end of the %zu-byte file",
                    file.messages.size() + 1, NextMessageAt(file), size);
      break;
    case kCheckEmptyFile:
      std::snprintf(where, sizeof where, " (0 bytes)");
      break;
    default:
      break;
  }
  return CheckReason(file.result) + std::string(where);
}

LoadedFile LoadFile(FileSource& files, const std::string& path) {
  LoadedFile loaded;
  loaded.path = path;
  std::vector<uint8_t> bytes;
  loaded.read = files.ReadWhole(path, bytes, loaded.stamp);
  if (loaded.read.status == ReadStatus::kOk) {
    loaded.checked = std::make_shared<const CheckedFile>(CheckFile(std::move(bytes)));
  } else if (loaded.read.status == ReadStatus::kTooLarge) {
    CheckedFile refused;
    refused.result = kCheckTooLarge;
    loaded.checked = std::make_shared<const CheckedFile>(std::move(refused));
  }
  return loaded;
}

}  // namespace midiflash
