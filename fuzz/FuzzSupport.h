// Shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"

namespace midiflash::fuzz {

// Aborts, so that libFuzzer keeps the input, when `ok` is false.
inline void Require(bool ok, const std::string& what) {
  if (!ok) std::fprintf(stderr, "fuzz violation: %s\n", what.c_str()), std::abort();
}
// Long delta times are logged; at fuzzing speed they would flood stderr and syslog.
inline void QuietLog() {
  static const ScopedLogCapture quiet([](const std::string&) {});
}

}  // namespace midiflash::fuzz
