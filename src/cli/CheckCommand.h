// `midiflash-cli check FILE [--json]`: loads an update file as the workflow does and tells whether
// it plays, what its header and tracks hold, how long it plays at 120 bpm, and where it asks more
// of a 31250-baud MIDI cable than the cable carries.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit statuses of `check` (and of `dump`).
enum CheckExit : int {
  kCheckExitPlayable = 0,
  kCheckExitRefused = 1,
  kCheckExitUnusable = 2,  // usage error, or "Open file error !"
};

// `args` are the words after `check`: FILE and optionally --json. Writes the report to `out` (one
// JSON object with --json) and usage and open errors to `err`. Returns a CheckExit.
int RunCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
