// `midiflash-cli play [-p PORT] [--gap MS] FILE`: the update workflow without a window.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "CheckedFile.h"
#include "CliArgs.h"
#include "UpdateView.h"

namespace midiflash {

// Exit statuses of `play`.
enum PlayExit : int {
  kPlayCompleted = 0,
  kPlayRefused = 1,           // "Cant play this SMF !"
  kPlayUnusable = 2,          // usage error, unreadable file, no MIDI service or destination
  kPlaySendFailed = 3,        // "Send error ! N": a message could not be delivered; the run stopped
  kPlayFileChanged = 4,       // the file went away or changed during the run
  kPlayDeliveryWarnings = 5,  // completed, but the MIDI service may have lost messages unseen
  kPlayInterrupted = 128,     // plus the signal number: 130 for SIGINT, 143 for SIGTERM
};

// The status for a run that a tick ended; a cancelled run counts as ended by SIGINT.
int PlayExitStatus(const RunResult& result);

// --gap MS of `play` and `check`: the gap between the messages of a System Exclusive file, 0 to
// kMaxSysExGapMs milliseconds; kDefaultSysExGapMs when not given. False, with `error` saying why,
// for another value, or for a file of another kind, whose pace the option would not set. With
// `file` null only the value is read.
bool GapOption(const ParsedArgs& parsed, const CheckedFile* file, uint32_t& gapMs,
               std::string& error);

// Plays the file to the destination in real time and returns one of the statuses above. SIGINT
// and SIGTERM cancel the run.
int RunPlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace midiflash
