// `midiflash-cli identify [-p PORT] [--reply-port PORT] [--json]`: asks a device who it is with
// one Identity Request and prints its Identity Reply.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace midiflash {

// Exit statuses: 0 answered, 2 usage error / no MIDI service / no destination / no port to hear
// the answer from, 3 the request could not be sent, 6 no answer within 2 s, 128 + the signal's
// number when interrupted.
int RunIdentifyCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace midiflash
