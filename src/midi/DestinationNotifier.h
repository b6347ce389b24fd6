// Holds a function that MidiOutput::SetDestinationsChanged or SetReceived was given and calls it
// for a MIDI service's thread. Replacing the function waits for a call in progress to finish, so
// that after Set returns the old function is neither running nor called again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

namespace midiflash {

template <typename... Args>
class Notifier {
 public:
  void Set(std::function<void(Args...)> function) {
    std::lock_guard<std::mutex> lock(mutex_);
    function_ = std::move(function);
  }
  // Any thread. The function only queues work, so holding the lock while it runs is short.
  void Notify(Args... args) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (function_) function_(args...);
  }

 private:
  std::mutex mutex_;
  std::function<void(Args...)> function_;
};

using DestinationNotifier = Notifier<>;
// Bytes received from a source.
using ReceivedNotifier = Notifier<const uint8_t*, size_t>;

}  // namespace midiflash
