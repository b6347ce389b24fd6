#include "SystemLog.h"

#include <syslog.h>

#include <cstdio>

#include "Log.h"

namespace midiflash {

void UseSystemLog(bool echo) {
  openlog("midiflash", LOG_PID, LOG_USER);
  // Never released: the log stays until the process ends.
  static ScopedLogCapture* system = new ScopedLogCapture([echo](const std::string& line) {
    if (echo) std::fprintf(stderr, "midiflash: %s\n", line.c_str());
    syslog(LOG_NOTICE, "%s", line.c_str());
  });
  (void)system;
}

}  // namespace midiflash
