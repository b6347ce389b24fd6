// `midiflash-cli list [--json | --watch]`: the MIDI destinations, in the order the window lists
// them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "MidiPort.h"

namespace midiflash {

// Writes one line "index: name" per destination of `midi`, or with `json` one JSON array of
// {"index":N,"name":"..."} objects (an empty array when there are none). Always returns 0.
int RunListCommand(MidiPort& midi, bool json, std::ostream& out);

// `list --watch`: the plain list, then one line per change as the service reports them, until
// SIGINT or SIGTERM. Returns 0.
int RunListWatch(MidiPort& midi, std::ostream& out);

// The lines `list --watch` prints for a change from `before` to `after`: "removed INDEX: NAME"
// with the index it had, "added INDEX: NAME" with its new one, "renamed INDEX: NAME" for an
// identity that stayed under another name. Destinations are told apart by identity.
std::vector<std::string> DescribeChanges(const std::vector<MidiDestination>& before,
                                         const std::vector<MidiDestination>& after);

}  // namespace midiflash
