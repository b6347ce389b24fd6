// The program's log lines on the system log.
#pragma once

namespace midiflash {

// From now on every log line goes to stderr ("midiflash: ...") and to syslog. Call once at
// start-up; tests leave it out and get stderr alone.
void UseSystemLog();

}  // namespace midiflash
