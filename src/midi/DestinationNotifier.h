// Holds the function that MidiPort::SetDestinationsChanged was given and calls it for a MIDI
// service's watcher thread. Replacing the function waits for a call in progress to finish, so
// that after Set returns the old function is neither running nor called again.
#pragma once

#include <functional>
#include <mutex>
#include <utility>

namespace midiflash {

class DestinationNotifier {
 public:
  void Set(std::function<void()> changed) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_ = std::move(changed);
  }
  // Any thread. The function only queues work, so holding the lock while it runs is short.
  void Notify() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (changed_) changed_();
  }

 private:
  std::mutex mutex_;
  std::function<void()> changed_;
};

}  // namespace midiflash
