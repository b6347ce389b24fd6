// `midiflash-cli list [--json]`: the MIDI destinations, in the order the window lists them.
#pragma once

#include <ostream>

#include "MidiPort.h"

namespace midiflash {

// Writes one line "index: name" per destination of `midi`, or with `json` one JSON array of
// {"index":N,"name":"..."} objects (an empty array when there are none). Always returns 0.
int RunListCommand(MidiPort& midi, bool json, std::ostream& out);

}  // namespace midiflash
