// Message builder, log capture and environment overrides for the MIDI and timer tests and JACK bed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Log.h"

namespace midiflash::testing {

using Bytes = std::vector<uint8_t>;

// F0, `size` - 2 pattern bytes seeded by `seed`, F7; size 1 is a lone F0.
inline Bytes Sysex(size_t size, uint8_t seed = 0) {
  Bytes b(size, 0xF7);
  b[0] = 0xF0;
  for (size_t i = 1; i + 1 < size; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
  return b;
}

// Collects every log line while it lives.
struct LogLines {
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  ScopedLogCapture capture_{[this](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }};
};

// Sets (nullopt: removes) an environment variable while it lives.
struct ScopedEnv {
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name(name) {
    if (const char* was = std::getenv(name)) old = was;
    Set(value);
  }
  ~ScopedEnv() { Set(old); }
  void Set(const std::optional<std::string>& v) {
    v ? setenv(name.c_str(), v->c_str(), 1) : unsetenv(name.c_str());
  }
  std::string name;
  std::optional<std::string> old;
};

}  // namespace midiflash::testing
