// Small helpers shared by the MIDI output tests: message builders, log capture, environment
// overrides.
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

// A System Exclusive message of `size` bytes in all: F0, a pattern seeded by `seed`, F7.
// Size 1 is a lone F0.
inline Bytes Sysex(size_t size, uint8_t seed = 0) {
  Bytes b(size);
  if (size == 0) return b;
  b[0] = 0xF0;
  for (size_t i = 1; i < size; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
  if (size > 1) b[size - 1] = 0xF7;
  return b;
}

// Collects every log line while it lives.
class LogLines {
 public:
  LogLines()
      : capture_([this](const std::string& line) {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.push_back(line);
        }) {}
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  size_t CountOf(const std::string& line) const {
    size_t n = 0;
    for (const auto& l : lines()) n += (l == line);
    return n;
  }
  size_t CountStartingWith(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& l : lines()) n += (l.rfind(prefix, 0) == 0);
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  ScopedLogCapture capture_;
};

// Sets (or, with nullopt, removes) one environment variable and puts it back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace midiflash::testing
