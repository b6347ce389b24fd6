#include "PlayerState.h"

namespace midiflash {

// Value-initialised so that no record ever holds indeterminate bytes.
PlayerState::PlayerState() : sTrk(new SmfTrack[kTrackTableSize]()) {}

}  // namespace midiflash
