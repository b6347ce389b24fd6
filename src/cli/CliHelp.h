// What `midiflash-cli --help`, `midiflash-cli COMMAND --help` and `--version` print, and the
// message of a usage error.
#pragma once

#include <ostream>
#include <string>

namespace midiflash {

// The whole program's help: commands, options, exit statuses, environment.
void WriteProgramHelp(std::ostream& out);

// The help of one command. Returns false, writing nothing, when there is no such command.
bool WriteCommandHelp(const std::string& command, std::ostream& out);

// "midiflash-cli VERSION".
void WriteVersion(std::ostream& out);

// Tells on `err` what is wrong with the words given to `command` (or, with an empty `command`, to
// the program) and how to get help. Returns 2, the exit status of a usage error.
int UsageError(const std::string& command, const std::string& problem, std::ostream& err);

}  // namespace midiflash
