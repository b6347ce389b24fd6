// Which destination `play --port TEXT` means.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MidiPort.h"

struct PortMatch {
  int64_t index = -1;  // position in the list given, -1 when none was chosen
  std::string error;   // why none was chosen, for the user
};

// In this order: an index written in decimal; the destination whose name or identity equals the
// text; the only destination whose name starts with it. A prefix shared by several names
// chooses none and names them in `error`.
PortMatch MatchPort(const std::vector<midiflash::MidiDestination>& list, const std::string& text);
