#include "CliCheckedFile.h"

#include <algorithm>
#include <cstdio>

#include "Constants.h"
#include "PosixFileSource.h"
#include "SmfReader.h"

namespace midiflash {
namespace {

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

}  // namespace

bool CheckedFile::HeaderRead() const {
  return result != kCheckNotSmf && result != kCheckHeaderCut && result != kCheckTooLarge;
}

int32_t CheckedFile::ScannedTracks() const {
  switch (result) {
    case kCheckPlayable:
      return std::min<int32_t>(state.SmfTracks, PlayerState::kTrackTableSize);
    case kCheckNoTrackChunk:
    case kCheckTrackChunkCut:
    case kCheckEventCut:
    case kCheckNoEndOfTrack:
    case kCheckSystemStatus:
    case kCheckNoRunningStatus:
    case kCheckDataByteHigh:
    case kCheckTickOverflow:
      return std::max<int32_t>(failure.track, 0);
    default:
      return 0;
  }
}

LoadOutcome LoadCheckedFile(const std::string& path, CheckedFile& file) {
  PlayerState& s = file.state;
  PosixFileSource source;
  FileStamp stamp;
  switch (source.ReadWhole(path, s.SMF, stamp)) {
    case ReadStatus::kOk:
      break;
    case ReadStatus::kOpenFailed:
      return LoadOutcome::kOpenFailed;
    case ReadStatus::kReadFailed:
      return LoadOutcome::kReadFailed;
    case ReadStatus::kTooLarge:
      file.result = kCheckTooLarge;
      file.failure = CheckFailure{};
      return LoadOutcome::kChecked;
  }
  s.fileUrl = path;
  s.SmfSize = s.SMF.size();
  SmfReader reader(s);
  FileCheck check(s, reader);
  file.result = check.SmfPlaySet();
  file.failure = check.failure();
  return LoadOutcome::kChecked;
}

std::string ExplainCheckResult(const CheckedFile& file) {
  const PlayerState& s = file.state;
  const CheckFailure& f = file.failure;
  std::string text = DescribeCheckResult(file.result);
  char where[160];
  where[0] = '\0';
  switch (file.result) {
    case kCheckNotSmf:
      if (f.offset == 4) {
        std::snprintf(where, sizeof where, " (header length %u)", s.HeaderSize);
      } else {
        std::snprintf(where, sizeof where, " (it begins with %s)", BytesAt(s.SMF, 0).c_str());
      }
      break;
    case kCheckBadFormat:
      std::snprintf(where, sizeof where, " (format %u)", s.SmfFormat);
      break;
    case kCheckTooManyTracks:
      std::snprintf(where, sizeof where, " (%u tracks)", s.SmfTracks);
      break;
    case kCheckNoTrackChunk:
      std::snprintf(where, sizeof where,
                    ": the chunk of track %d was expected at byte offset %llu, which holds %s",
                    f.track, static_cast<unsigned long long>(f.offset),
                    BytesAt(s.SMF, f.offset).c_str());
      break;
    case kCheckHeaderCut:
      std::snprintf(where, sizeof where, " (the file is %zu bytes long)", s.SMF.size());
      break;
    case kCheckTrackChunkCut:
      std::snprintf(where, sizeof where, ": track %d, chunk at byte offset %llu of a %zu-byte file",
                    f.track, static_cast<unsigned long long>(f.offset), s.SMF.size());
      break;
    case kCheckEventCut:
      std::snprintf(where, sizeof where,
                    ": track %d, reading stopped at byte offset %llu of a %zu-byte file", f.track,
                    static_cast<unsigned long long>(f.offset), s.SMF.size());
      break;
    case kCheckNoEndOfTrack:
      if (f.offset < s.SMF.size()) {
        std::snprintf(where, sizeof where,
                      ": track %d, whose events run on past its chunk into the next track chunk "
                      "at byte offset %llu",
                      f.track, static_cast<unsigned long long>(f.offset));
      } else {
        std::snprintf(where, sizeof where, ": track %d runs to the end of the %zu-byte file",
                      f.track, s.SMF.size());
      }
      break;
    case kCheckSystemStatus:
    case kCheckNoRunningStatus:
    case kCheckDataByteHigh:
      std::snprintf(where, sizeof where, ": track %d, byte %s at byte offset %llu", f.track,
                    BytesAt(s.SMF, f.offset).substr(0, 2).c_str(),
                    static_cast<unsigned long long>(f.offset));
      break;
    case kCheckTickOverflow:
      std::snprintf(where, sizeof where, ": track %d, the event at byte offset %llu", f.track,
                    static_cast<unsigned long long>(f.offset));
      break;
    case kCheckSmpteDivision:
      std::snprintf(where, sizeof where, " (division %04X at byte offset 12)", s.SmfDivision);
      break;
    default:
      break;
  }
  return text + where;
}

std::string OpenErrorText(const std::string& path, LoadOutcome outcome) {
  return std::string(kOpenFileError) + " " + path +
         (outcome == LoadOutcome::kReadFailed ? ": the file cannot be read"
                                              : ": the file cannot be opened");
}

}  // namespace midiflash
