// The program's log lines on the system log.
#pragma once

namespace midiflash {

// From now on every log line goes to syslog, and with `echo` to stderr as well ("midiflash: ...").
// Call once at start-up; tests leave it out and get stderr alone.
void UseSystemLog(bool echo);

}  // namespace midiflash
