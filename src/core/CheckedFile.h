// An update file read and checked once: the image, its kind, what its header says, where each
// track starts and how long it plays (or where each message of a System Exclusive file stands),
// and the check result with its reason. Everything that walks the file later (playback, the cable
// analysis, the dump) holds plain cursors over it: over a Standard MIDI File it reads through the
// one step reader, which cannot refuse what the check accepted; over a System Exclusive file it
// takes the messages the check found.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CheckResult.h"
#include "FileSource.h"

namespace midiflash {

// A file has at most this many tracks.
inline constexpr uint16_t kMaxTracks = 33;

// Where the check refused a file: the track being read (-1 for the header) and the image offset.
struct CheckFailure {
  int32_t track = -1;
  uint64_t offset = 0;
};

// One track whose scan reached its End of Track.
struct TrackSpan {
  uint32_t declaredLength = 0;  // the chunk's length field, as stored
  uint32_t firstEvent = 0;      // image offset of its first event
  uint32_t ticks = 0;           // its length: the tick of its End of Track
};

// A message that goes on the wire, and where it stands: at a track's tick in a Standard MIDI File,
// as a numbered message (from 1) at a byte offset in a System Exclusive file (track -1).
struct WireMessageAt {
  uint64_t bytes = 0;
  int32_t track = -1;
  uint32_t tick = 0;
  uint32_t message = 0;
  uint32_t offset = 0;
};

// How the file's content is read, told by its first byte.
enum class FileKind : uint8_t {
  kNone,   // nothing to tell it by: the file is empty or too large to read
  kSmf,    // a Standard MIDI File, or what is refused as not one: any first byte but F0
  kSysEx,  // F0 first: whole System Exclusive messages, F0 ... F7, one after the other
};

// One whole message of a System Exclusive file, from its F0 to its F7; it goes out as it stands.
struct MessageSpan {
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct CheckedFile {
  std::vector<uint8_t> image;
  FileKind kind = FileKind::kNone;
  int32_t result = kCheckPlayable;
  CheckFailure failure;  // meaningful when refused

  bool headerRead = false;  // format, trackCount and division hold what the header says
  uint32_t headerLength = 0;
  uint16_t format = 0;
  uint16_t trackCount = 0;
  uint16_t division = 0;

  // Every track of a playable file; of a refused one, the tracks scanned before the refusal.
  std::vector<TrackSpan> tracks;
  uint32_t totalTicks = 0;  // the longest track's length
  // A System Exclusive file's messages, in file order; of a refused one, those before the refusal.
  std::vector<MessageSpan> messages;
  uint64_t wireBytes = 0;  // every byte the tracks scanned (or the messages) put on the wire
  WireMessageAt largest;   // the largest message among them (bytes 0 when there is none)

  bool playable() const { return result == kCheckPlayable; }
};

// Checks `image` by its kind. An empty image is refused (kCheckEmptyFile). A System Exclusive
// file must hold whole messages only, F0, data bytes below 0x80, F7, from its first byte to its
// last. Anything else is checked as a Standard MIDI File this program plays: format 0 or 1, at
// most 33 tracks, a division in ticks per quarter note, every track read to its End of Track by
// the one step reader. Writes "delta_time > 8000" and "status: %02x" to the log for each long
// delta time.
CheckedFile CheckFile(std::vector<uint8_t> image);

// The result as people read it: the reason and, for a refusal, where it was found (which track or
// message, which byte offset, what stands there). Tracks count from 0, messages from 1.
std::string ExplainRefusal(const CheckedFile& file);

// A file as the program loads it: read whole (regular files only), then checked.
struct LoadedFile {
  std::string path;
  FileRead read;
  FileStamp stamp;
  // Set when the file was read (or was too large to read, then refused as kCheckTooLarge).
  std::shared_ptr<const CheckedFile> checked;
};
LoadedFile LoadFile(FileSource& files, const std::string& path);

}  // namespace midiflash
