// `midiflash-cli list [--json | --watch]`: the MIDI destinations, in the order the window lists
// them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "MidiOutput.h"

namespace midiflash {

// "INDEX: [ID ]NAME[ (pass-through)]": the identity where it is not the name already (ALSA's
// "client:port"), control characters escaped.
std::string DestinationLine(size_t index, const MidiDestination& d);

// Writes one DestinationLine per destination of `midi` (with `sources`, per source, the ports a
// device answers from), or with `json` one JSON array of {"index","id","name","client","port",
// "pass_through"} objects. Returns 0; 2, saying so on `err`, when no MIDI service could be reached.
int RunListCommand(MidiOutput& midi, bool json, std::ostream& out, std::ostream& err,
                   bool sources = false);

// `list --watch`: the plain list, then one line per change as the service reports them, until
// SIGINT or SIGTERM. Returns 0, or 2 without a MIDI service.
int RunListWatch(MidiOutput& midi, std::ostream& out, std::ostream& err);

// The lines `list --watch` prints for a change from `before` to `after`: "removed LINE" with the
// index it had, "added LINE" with its new one, "renamed LINE" for an identity that stayed under
// another name. Destinations are told apart by identity.
std::vector<std::string> DescribeChanges(const std::vector<MidiDestination>& before,
                                         const std::vector<MidiDestination>& after);

// What the command line says when no MIDI service can be reached.
extern const char* const kNoMidiService;

}  // namespace midiflash
