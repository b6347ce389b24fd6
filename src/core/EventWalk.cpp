#include "EventWalk.h"

#include <algorithm>

namespace midiflash {

int32_t EventWalk::Walk(const Visit& visit) {
  failure_ = CheckFailure{};
  const int32_t tracks = std::min<int32_t>(s_.SmfTracks, PlayerState::kTrackTableSize);
  for (int32_t i = 0; i < tracks; ++i) {
    TrackCursor c{s_.sTrk[i].TrkTop, 0, 0};
    SmfEvent e;
    ReadRefusal why;
    for (;;) {
      const ReadStep step = ReadTrackEvent(s_.SMF.data(), ImageSize(s_), c, e, why);
      if (step == ReadStep::kRefused) {
        failure_ = CheckFailure{i, why.offset};
        return why.result;
      }
      visit(i, e);
      if (step == ReadStep::kEndOfTrack) break;
    }
  }
  return kCheckPlayable;
}

}  // namespace midiflash
