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
    {"check", R"txt(usage: midiflash-cli check [--json] [-p PORT] [--gap MS] FILE

Loads FILE the way an update loads it and tells whether it can be played. Of a Standard MIDI
File: the header, each track's size and length in ticks, the playing time at 120 bpm, the bytes
to send, and warnings where the file asks more of a 31250-baud MIDI cable than it carries. Of a
System Exclusive file (F0 its first byte): the messages, the bytes to send, the largest message
and how long a run takes on a 31250-baud cable. Sends nothing.

options:
  --json            one JSON object instead of the text report
  -p, --port PORT   also tell whether destination PORT (as for play) can be sent every message
                    of the file whole; a file it cannot be is refused (result 29)
  --gap MS          a System Exclusive file's gap between messages, as for play (default 100)
  -h, --help        show this help

exit status:
  0  the file plays
  1  the file is refused ("Cant play this SMF !"); the report says why and where
  2  usage error, the file cannot be opened or read, or PORT names no destination
)txt"},
    {"dump", R"txt(usage: midiflash-cli dump FILE

Prints every event of FILE, track by track: the track, the tick, the kind of event and the bytes
it puts on the MIDI cable (System Exclusive with its F0). Meta events, never sent, are marked so.
Of a System Exclusive file, every message: its number (from 1), the byte offset of its F0 and its
bytes. Sends nothing.

options:
  -h, --help  show this help

exit status:
  0  the file plays
  1  the file is refused ("Cant play this SMF !")
  2  usage error, or the file cannot be opened or read
)txt"},
    {"identify", R"txt(usage: midiflash-cli identify [-p PORT] [--reply-port PORT] [--json]

Asks a MIDI device who it is: sends it one Universal Identity Request (F0 7E 7F 06 01 F7), and
nothing else, and prints its Identity Reply: the manufacturer (by name for the common ones, by
number otherwise), the family, the model, the software revision and the device ID. The answer is
listened for on the device's own source port: on the ALSA sequencer the destination's client's
readable port, on JACK the MIDI output port paired with it by name ("in"/"out",
"playback"/"capture"). A reply from another kind of message, cut short or broken is ignored.

options:
  -p, --port PORT    the destination, as for play
  --reply-port PORT  the source port to listen to, as `list --sources` shows them, when none
                     pairs with the destination by itself
  --json             one JSON object: "destination", "source", "requests", "waited_seconds",
                     "answered", and with an answer "device_id", "manufacturer" {"id",
                     "name"}, "family", "model", "software_revision"
  -h, --help         show this help

exit status:
  0  the device answered
  2  usage error, no MIDI service, no destination chosen, no port to hear the answer from
  3  the request could not be sent ("Send error ! N")
  6  no answer within 2 s
)txt"},
    {"list", R"txt(usage: midiflash-cli list [--json | --watch] [--sources]
       midiflash-cli -l

Prints the MIDI destinations, one line each, in the order the window lists them:
"INDEX: [CLIENT:PORT ]NAME", with the ALSA address where the name does not hold it, and
"(pass-through)" after a port that only forwards to others (the sequencer's Midi Through).

options:
  --json      one JSON array of {"index", "id", "name", "client", "port", "pass_through"}
  --watch     then one line per change until Ctrl-C: "added LINE", "removed LINE" (the index it
              had) or "renamed LINE"
  --sources   the sources instead: the ports devices send from, which --reply-port takes
  -h, --help  show this help

exit status:
  0  the list was printed, also when it is empty
  2  usage error, or no MIDI service can be reached
)txt"},
    {"play", R"txt(usage: midiflash-cli play [-p PORT] [--gap MS] [--verify [--verify-wait S]
                         [--reply-port PORT]] [--receipt FILE] FILE

Plays FILE to a MIDI destination, as the window's Update does: a Standard MIDI File in real time
at 120 bpm, a System Exclusive file (F0 its first byte) one whole message at a time, each once
the previous one has left for the cable and MS milliseconds more have passed. FILE is read and
checked first; then a Standard MIDI File's opening System Exclusive messages go to the
destination, then "Start", the position and a progress bar, and at the end, once the device has
taken the last bytes, "Updating is completed !!". The first message that cannot be delivered
ends the run ("Send error ! N", with what it means). Ctrl-C cancels the run ("Updating was
canceled by user!!"). After a run that did not complete, a line tells where it stopped and how
many bytes had been sent.

With --verify the device is asked who it is (as `identify` does) before the first opening
message; no answer within 2 s is said and the update goes on. After "Updating is completed !!"
it is asked again, from 2 s on and every 2 s, until it answers or S seconds have passed; a
device that restarted under another client or port is found by its name, or among the ports
that appeared since the run started, and known by its identity. Then "Software revision: A →
B". Nothing else is sent that the file does not hold.

options:
  -p, --port PORT  the destination: an index from `list`; its identity (ALSA "client:port",
                   JACK's full port name); its full name "client name:port name"; the client
                   name with a port number ("Virtual Raw MIDI 0-0:0"); the port's own name; or
                   the start of one full name. Needed unless exactly one destination is not a
                   pass-through port. A PORT that fits several destinations is an error naming
                   them.
  --gap MS         the gap after each message of a System Exclusive file, 0 to 60000
                   milliseconds (default 100); a usage error for a Standard MIDI File
  --verify         identify the device before the update and after it, as above
  --verify-wait S  how long to wait for the device after the update, 0 to 3600 s (default 60)
  --reply-port PORT
                   the source port the device answers from, as for identify
  --receipt FILE   write the run's receipt to FILE (JSON): the file's name, size and SHA-256,
                   the destination, the device's answers, start and end (UTC), ticks played,
                   messages and bytes sent and delivered, the outcome and the exit status.
                   FILE is created before anything is sent; it is the one file play writes.
  -h, --help       show this help

exit status:
  0         "Updating is completed !!" (with --verify: and the device answered after it)
  1         the file is refused ("Cant play this SMF !"), also when one of its messages is
            larger than the destination carries
  2         usage error, the file cannot be opened, no MIDI service, no destination chosen
  3         a message could not be delivered ("Send error ! N"); the run stopped there
  4         the file disappeared or changed during the run ("Open file error !")
  5         completed, but the MIDI service may have lost messages unseen (a line says so)
  6         completed, but with --verify the device did not answer after it (also when the
            wait was cut short by a signal)
  130, 143  cancelled by SIGINT (Ctrl-C) or SIGTERM
)txt"},
};

}  // namespace

void WriteProgramHelp(std::ostream& out) {
  out << R"txt(usage: midiflash-cli [-v] COMMAND [ARGUMENT]...
       midiflash-cli COMMAND --help
       midiflash-cli --help | --version

Checks, shows and plays update files to a device over MIDI: Standard MIDI Files (.dat, .mid)
and System Exclusive files (.syx), told apart by their content.

commands:
  check [--json] [-p PORT] FILE  is the file playable? header, tracks, length, cable load
  dump FILE                      every event, with the bytes that would be sent
  identify [-p PORT] [--json]    asks the device who it is (manufacturer, model, revision)
  list [--json | --watch]        the MIDI destinations; --watch follows them (-l: list)
  play [-p PORT] [--gap MS] FILE plays the file to a destination in real time; --verify
                                 identifies the device before and after, --receipt FILE
                                 writes what was sent

options:
  -h, --help     show this help; after a command, that command's help
  -V, --version  show the version
  -v, --verbose  also write the log (which always goes to syslog) to stderr
  --             ends the options: what follows is an operand, even if it begins with -

exit status:
  0         success: the file plays (check, dump), "Updating is completed !!" (play)
  1         the file is refused ("Cant play this SMF !")
  2         usage error, the file cannot be opened, no MIDI service or destination
  3         play: a message could not be sent ("Send error ! N")
  4         play: the file disappeared or changed during the run
  5         play: completed, but the MIDI service may have lost messages unseen
  6         identify: no answer; play --verify: completed, but no answer after it
  130, 143  play: cancelled by SIGINT (Ctrl-C) or SIGTERM

environment:
  MIDIFLASH_MIDI_API  "alsa" or "jack" uses only that MIDI service; otherwise the ALSA
                      sequencer, or JACK when there is no ALSA sequencer

See midiflash-cli(1).
)txt";
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

int UsageError(const std::string& command, const std::string& problem, std::ostream& err) {
  const std::string program = command.empty() ? "midiflash-cli" : "midiflash-cli " + command;
  err << program << ": " << problem << "\n"
      << "Try '" << program << " --help'.\n";
  return 2;
}

}  // namespace midiflash
