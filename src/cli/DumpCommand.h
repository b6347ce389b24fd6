// `midiflash-cli dump FILE`: every event of an update file, track by track in file order, or every
// message of a System Exclusive file, with the bytes each one puts on the MIDI cable, so that a
// user sees what an update will send before sending it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace midiflash {

// `args` are the words after `dump`: FILE. Writes one line per event to `out`: the track (from
// 0), the absolute tick, the kind of event and its bytes in hex. System Exclusive and escape
// events appear as sent, F0 first; what is never sent is marked so. A System Exclusive file gets
// one line per message: its number (from 1), the byte offset of its F0 and its bytes. A refused
// file gets the check result on `out` and 1; a usage error or "Open file error !" goes to `err`
// with 2; else 0.
int RunDumpCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace midiflash
