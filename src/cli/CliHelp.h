// What `midiflash-cli --help`, `midiflash-cli COMMAND --help` and `--version` print, and the
// error for an option a command does not know.
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

// Tells on `err` that `command` does not know `option` (or, with an empty `command`, that the
// program does not) and how to get help. Returns 2, the exit status of a usage error.
int UnknownOption(const std::string& command, const std::string& option, std::ostream& err);

}  // namespace midiflash
