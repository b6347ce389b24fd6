#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace midiflash {
namespace {

std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}

std::function<void(const std::string&)>& Sink() {
  static std::function<void(const std::string&)> sink;
  return sink;
}

}  // namespace

void LogLine(const char* format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);

  std::lock_guard<std::mutex> lock(LogMutex());
  if (Sink()) {
    Sink()(buf);
    return;
  }
  // One write per line so that lines from two threads never interleave inside a line.
  std::fprintf(stderr, "midiflash: %s\n", buf);
}

ScopedLogCapture::ScopedLogCapture(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(LogMutex());
  previous_ = std::move(Sink());
  Sink() = std::move(sink);
}

ScopedLogCapture::~ScopedLogCapture() {
  std::lock_guard<std::mutex> lock(LogMutex());
  Sink() = std::move(previous_);
}

}  // namespace midiflash
