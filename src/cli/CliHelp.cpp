#include "CliHelp.h"

#include <cstring>

#include "Version.h"

namespace midiflash {
namespace {

struct CommandHelp {
  const char* name;
  const char* text;
};

// Kept in step with the manual page, docs/man/midiflash-cli.1.in.
constexpr CommandHelp kCommands[] = {
    {"check", R"(usage: midiflash-cli check FILE [--json]

Loads FILE the way an update loads it and tells whether it can be played: the header, each
track's size and length in ticks, the playing time at 120 bpm, the bytes to send, and warnings
where the file asks more of a 31250-baud MIDI cable than it carries. Sends nothing.

options:
  --json      one JSON object instead of the text report
  -h, --help  show this help

exit status:
  0  the file plays
  1  the file is refused ("Cant play this SMF !"); the report says why and where
  2  usage error, or the file cannot be opened or read
)"},
    {"dump", R"(usage: midiflash-cli dump FILE

Prints every event of FILE, track by track: the track, the tick, the kind of event and the bytes
it puts on the MIDI cable (System Exclusive with its F0). Meta events, never sent, are marked so.
Sends nothing.

options:
  -h, --help  show this help

exit status:
  0  the file plays
  1  the file is refused ("Cant play this SMF !")
  2  usage error, or the file cannot be opened or read
)"},
    {"list", R"(usage: midiflash-cli list [--json | --watch]

Prints the MIDI destinations, one "INDEX: NAME" line each, in the order the window lists them.

options:
  --json      one JSON array of {"index":N,"name":"..."} objects
  --watch     then one line per change until Ctrl-C: "added INDEX: NAME",
              "removed INDEX: NAME" (the index it had) or "renamed INDEX: NAME"
  -h, --help  show this help

exit status:
  0  always, also when there is no destination
)"},
    {"play", R"(usage: midiflash-cli play FILE [--port INDEX|NAME|PREFIX]

Plays FILE to a MIDI destination in real time at 120 bpm, as the window's Update does: the
file's opening System Exclusive messages go out when it is loaded, then "Start", the position and
a progress bar, and at the end, once the device has taken the last bytes, "Updating is
completed !!". The first message that cannot be delivered ends the run ("Send error ! N").
Ctrl-C cancels the run ("Updating was canceled by user!!").

options:
  --port INDEX|NAME|PREFIX  the destination: an index from `list`, its full name or identity
                            (ALSA "client:port", JACK's full port name), or the start of exactly
                            one name (several: usage error). Default: the first
  -h, --help                show this help

exit status:
  0         "Updating is completed !!"
  1         the file is refused ("Cant play this SMF !")
  2         usage error, the file cannot be opened, or no MIDI destination
  3         a message could not be delivered ("Send error ! N"); the run stopped there
  4         the file disappeared or changed size during the run ("Open file error !")
  5         completed, but the MIDI service may have lost messages unseen (a line says so)
  130, 143  cancelled by SIGINT (Ctrl-C) or SIGTERM
)"},
};

}  // namespace

void WriteProgramHelp(std::ostream& out) {
  out << R"(usage: midiflash-cli COMMAND [ARGUMENT]...
       midiflash-cli COMMAND --help
       midiflash-cli --help | --version

Checks, shows and plays update files (Standard MIDI Files, extension .dat) to a device over MIDI.

commands:
  check FILE [--json]            is the file playable? header, tracks, length, cable load
  dump FILE                      every event, with the bytes that would be sent
  list [--json | --watch]        the MIDI destinations, "INDEX: NAME"; --watch follows them
  play FILE [--port INDEX|NAME|PREFIX]
                                 plays the file to a destination in real time at 120 bpm

options:
  -h, --help     show this help; after a command, that command's help
  -V, --version  show the version

exit status:
  0         success: the file plays (check, dump), "Updating is completed !!" (play)
  1         the file is refused ("Cant play this SMF !")
  2         usage error, the file cannot be opened, or no MIDI destination (play)
  3         play: a message could not be sent ("Send error ! N")
  4         play: the file disappeared or changed size during the run
  5         play: completed, but the MIDI service may have lost messages unseen
  130, 143  play: cancelled by SIGINT (Ctrl-C) or SIGTERM

environment:
  MIDIFLASH_MIDI_API  "alsa" or "jack" uses only that MIDI service; otherwise the ALSA
                      sequencer, or JACK when there is no ALSA sequencer

See midiflash-cli(1).
)";
}

bool WriteCommandHelp(const std::string& command, std::ostream& out) {
  for (const CommandHelp& c : kCommands) {
    if (command == c.name) {
      out << c.text;
      return true;
    }
  }
  return false;
}

void WriteVersion(std::ostream& out) {
  out << "midiflash-cli " << kVersion << "\n";
}

int UnknownOption(const std::string& command, const std::string& option, std::ostream& err) {
  const std::string program = command.empty() ? "midiflash-cli" : "midiflash-cli " + command;
  err << program << ": unknown option '" << option << "'\n"
      << "Try '" << program << " --help'.\n";
  return 2;
}

}  // namespace midiflash
