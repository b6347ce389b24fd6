#include "SteadyClock.h"

#include <time.h>

namespace midiflash {

namespace {

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

double SteadyClock::Now() {
  return Seconds(CLOCK_MONOTONIC);
}

double SteadyClock::UtcNow() {
  return Seconds(CLOCK_REALTIME);
}

}  // namespace midiflash
