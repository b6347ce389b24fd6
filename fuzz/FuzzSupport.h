// Shared by the fuzz targets: a check that aborts with a message, and a log that stays quiet.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"

namespace midiflash::fuzz {

// Aborts the run, so that libFuzzer records the input, when `ok` is false.
inline void Require(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz violation: %s\n", what.c_str());
  std::abort();
}

// The reader logs long delta times; at fuzzing speed those lines would flood stderr and syslog.
inline void QuietLog() {
  static ScopedLogCapture* quiet = new ScopedLogCapture([](const std::string&) {});
  (void)quiet;
}

}  // namespace midiflash::fuzz
