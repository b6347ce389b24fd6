// `midiflash-cli play [-p PORT] [--gap MS] [--verify [--verify-wait S] [--reply-port PORT]]
// [--receipt FILE] FILE`: the update workflow without a window.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "CheckedFile.h"
#include "CliArgs.h"
#include "Receipt.h"
#include "UpdateView.h"

namespace midiflash {

// --gap MS of `play` and `check`: the gap between the messages of a System Exclusive file, 0 to
// kMaxSysExGapMs milliseconds; kDefaultSysExGapMs when not given. False, with `error` saying why,
// for another value, or for a file of another kind, whose pace the option would not set. With
// `file` null only the value is read.
bool GapOption(const ParsedArgs& parsed, const CheckedFile* file, uint32_t& gapMs,
               std::string& error);

// Plays the file to the destination in real time and returns one of the statuses of PlayExit.
// SIGINT and SIGTERM cancel the run (or, once it has completed, the wait for the device). With
// --receipt, the receipt's file is created before the program restricts its writes, and the
// receipt is written at every end from there on; play restricts its writes itself.
int RunPlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace midiflash
