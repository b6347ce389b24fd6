// Which destination `--port TEXT` means (and which source `--reply-port TEXT`).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CliArgs.h"
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
// destination chooses it; several choose none and `error` names them; so does empty TEXT. The
// errors speak of `what` ("destination", "source") named by `option`.
PortMatch MatchPort(const std::vector<MidiDestination>& list, const std::string& text,
                    const std::string& what = "destination", const std::string& option = "--port");

// The destination the user means: the one --port names, or without --port the only one that is
// not a pass-through port (an update sent to a pass-through port, or to a device nobody named,
// reaches nobody meant). Sets `error` and returns -1 when there is none to take.
int64_t ChooseDestination(const std::vector<MidiDestination>& list, const ParsedArgs& args,
                          std::string& error);

}  // namespace midiflash
