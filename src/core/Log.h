// The program's log: one line per message, to stderr, or to syslog as well once the program has
// called UseSystemLog (src/platform). Tests can capture the lines instead.
#pragma once

#include <functional>
#include <string>

namespace midiflash {

// Writes one formatted log line (printf format, no trailing newline needed). Safe from any thread.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces where log lines go while it lives: each line is handed to `sink` instead of stderr and
// syslog. Captures nest; the innermost wins.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(std::function<void(const std::string&)> sink);
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

 private:
  std::function<void(const std::string&)> previous_;
};

}  // namespace midiflash
