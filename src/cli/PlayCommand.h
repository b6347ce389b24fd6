// `midiflash-cli play FILE [--port INDEX|NAME|PREFIX]`: the update workflow without a window.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "UpdateView.h"

// Exit statuses of `play`.
enum PlayExit : int {
  kPlayCompleted = 0,
  kPlayRefused = 1,           // "Cant play this SMF !"
  kPlayUnusable = 2,          // usage error, "Open file error !" before the run, no destination
  kPlaySendFailed = 3,        // "Send error ! N": a message could not be delivered; the run stopped
  kPlayFileChanged = 4,       // the file went away or changed size during the run
  kPlayDeliveryWarnings = 5,  // completed, but the MIDI service may have lost messages unseen
  kPlayInterrupted = 128,     // plus the signal number: 130 for SIGINT, 143 for SIGTERM
};

// The status for a run that a tick ended; a cancelled run counts as ended by SIGINT.
int PlayExitStatus(const midiflash::RunResult& result);

// Plays FILE to the chosen destination (the first by default) in real time and returns one of
// the statuses above. SIGINT and SIGTERM cancel the run.
int RunPlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
