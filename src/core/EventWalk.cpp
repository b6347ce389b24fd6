#include "EventWalk.h"

#include <algorithm>
#include <array>

#include "SmfReader.h"

namespace midiflash {
namespace {

// Puts the track table back however the walk leaves it, so that a caller can walk a file between
// its check and its reset without either noticing.
class SavedTracks {
 public:
  explicit SavedTracks(PlayerState& s) : s_(s) {
    std::copy_n(s_.sTrk.get(), PlayerState::kTrackTableSize, saved_.begin());
  }
  ~SavedTracks() { std::copy(saved_.begin(), saved_.end(), s_.sTrk.get()); }
  SavedTracks(const SavedTracks&) = delete;
  SavedTracks& operator=(const SavedTracks&) = delete;

 private:
  PlayerState& s_;
  std::array<SmfTrack, PlayerState::kTrackTableSize> saved_;
};

}  // namespace

uint64_t SmfEvent::WireBytes() const {
  switch (kind) {
    case EventKind::kChannel:
      // Program change and channel pressure carry one data byte, the others two.
      return (status >= 0xC0 && status < 0xE0) ? 2 : 3;
    case EventKind::kSysEx:
    case EventKind::kEscape:
      return uint64_t{dataLength} + 1;
    default:
      return 0;
  }
}

int32_t EventWalk::Walk(const std::function<void(const SmfEvent&)>& visit) {
  failure_ = CheckFailure{};
  SavedTracks saved(s_);
  const int32_t tracks = std::min<int32_t>(s_.SmfTracks, PlayerState::kTrackTableSize);
  for (int32_t i = 0; i < tracks; ++i) {
    const int32_t result = WalkTrack(i, visit);
    if (result != kCheckPlayable) return result;
  }
  return kCheckPlayable;
}

int32_t EventWalk::WalkTrack(int32_t trk, const std::function<void(const SmfEvent&)>& visit) {
  SmfReader reader(s_);
  // The check has already logged the long delta times once.
  reader.SetLogging(false);
  SmfTrack& t = s_.sTrk[trk];
  const std::vector<uint8_t>& image = s_.SMF;
  const uint64_t size = image.size();
  const uint32_t meta = static_cast<uint32_t>(s_.csmf.META_STS);
  const uint32_t eot = static_cast<uint32_t>(s_.csmf.META_EOT);
  const uint32_t sysex = static_cast<uint32_t>(s_.cmidi.SYSEX);
  const uint32_t eox = static_cast<uint32_t>(s_.cmidi.EOX);
  const uint32_t note_off = static_cast<uint32_t>(s_.cmidi.NOTE_OFF);

  // The same start as the sequence reset gives a track before play.
  t.TrkPtr = t.TrkTop;
  t.TotalClock = 0;
  t.WaitClock = 0;
  t.RunSts = 0;
  t.Sts = 0;

  for (;;) {
    if (t.TrkPtr >= size) {
      failure_ = CheckFailure{trk, t.TrkPtr};
      return kCheckNoEndOfTrack;
    }
    SmfEvent e;
    e.track = trk;
    e.offset = t.TrkPtr;
    reader.ClearOverrun();
    const uint8_t read = reader.ReadEvent(trk);
    if (reader.Overran()) {
      failure_ = CheckFailure{trk, t.TrkPtr};
      return kCheckEventCut;
    }
    e.tick = t.TotalClock;
    e.status = static_cast<uint8_t>(t.Sts);

    if (read == 0) {
      e.kind = EventKind::kStrayData;
    } else if (t.Sts < sysex) {
      e.kind = EventKind::kChannel;
      e.data1 = static_cast<uint8_t>(t.Data1);
      e.data2 = static_cast<uint8_t>(t.Data2);
      // The reader leaves TrkPtr after the message's DataLen bytes when the status byte is in the
      // file, after DataLen - 1 when it is not. The byte DataLen back is then the status itself,
      // or the last byte of the delta time, which always has its top bit clear.
      e.runningStatus = image[t.TrkPtr - t.DataLen] < note_off;
    } else if (t.Sts == sysex || t.Sts == eox || t.Sts == meta) {
      e.kind = t.Sts == meta ? EventKind::kMeta
                             : (t.Sts == sysex ? EventKind::kSysEx : EventKind::kEscape);
      if (t.Sts == meta) e.data1 = static_cast<uint8_t>(t.Data1);
      e.dataLength = t.DataLen;
      e.dataOffset = t.TrkPtr;
      const bool end_of_track = t.Sts == meta && t.Data1 == eot;
      // End of Track's own data bytes are never passed over (the next chunk is sought right
      // after its length), so only the bytes that exist are shown.
      if (!end_of_track && t.DataLen > size - t.TrkPtr) {
        failure_ = CheckFailure{trk, t.TrkPtr};
        return kCheckEventCut;
      }
      if (end_of_track) {
        e.dataLength = static_cast<uint32_t>(std::min<uint64_t>(t.DataLen, size - t.TrkPtr));
        visit(e);
        return kCheckPlayable;
      }
      t.TrkPtr += t.DataLen;
    } else {
      e.kind = EventKind::kSystem;
    }
    visit(e);
  }
}

}  // namespace midiflash
