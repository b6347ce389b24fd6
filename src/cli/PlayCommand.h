// `midiflash-cli play FILE [--port INDEX|NAME|PREFIX]`: the update workflow without a window.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit statuses of `play`.
enum PlayExit : int {
  kPlayCompleted = 0,
  kPlayRefused = 1,        // "Cant play this SMF !"
  kPlayUnusable = 2,       // usage error, "Open file error !" before the run, no destination
  kPlaySendFailed = 3,     // every track ended, but a send failed
  kPlayFileChanged = 4,    // the file went away or changed size during the run
  kPlayInterrupted = 128,  // plus the signal number: 130 for SIGINT, 143 for SIGTERM
};

// Plays FILE to the chosen destination (the first by default) in real time and returns one of
// the statuses above. SIGINT and SIGTERM cancel the run.
int RunPlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
