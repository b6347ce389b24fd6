// Which destination `--port TEXT` means.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MidiOutput.h"

namespace midiflash {

struct PortMatch {
  int64_t index = -1;  // position in the list given, -1 when none was chosen
  std::string error;   // why none was chosen, for the user
};

// In this order: an index written in decimal; then the destinations TEXT names exactly: by
// identity (ALSA "client:port", JACK's port name), full name ("client name:port name"), client
// name with a port number ("Virtual Raw MIDI 0-0:0", as aplaymidi takes it), the port's own name,
// or a client name with a single port; then the destinations whose full name starts with TEXT. One
// destination chooses it; several choose none and `error` names them; so does empty TEXT.
PortMatch MatchPort(const std::vector<MidiDestination>& list, const std::string& text);

}  // namespace midiflash
