// `midiflash-cli check FILE [--json] [--port P] [--gap MS]`: loads an update file as an update
// does and tells whether it plays, what its header and tracks hold, how long it plays at 120 bpm,
// where it asks more of a 31250-baud MIDI cable than the cable carries, and with --port whether
// destination P can be sent each of its messages whole. Of a System Exclusive file: its messages,
// bytes and largest message, and how long a run takes with gaps of MS milliseconds.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace midiflash {

// Exit statuses of `check` (and of `dump`).
enum CheckExit : int {
  kCheckExitPlayable = 0,
  kCheckExitRefused = 1,
  kCheckExitUnusable = 2,  // usage error, "Open file error !", or --port without its destination
};

// `args` are the words after `check`. Writes the report to `out` (one JSON object with --json) and
// usage and open errors to `err`. Returns a CheckExit.
int RunCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace midiflash
