#include "SendQueue.h"

namespace midiflash {

bool SendQueue::Push(const uint8_t* data, size_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unsent_.load() + size > max_bytes_) return false;
    messages_.emplace_back(data, data + size);
    unsent_.fetch_add(size);
  }
  ready_.notify_one();
  return true;
}

bool SendQueue::Take(std::vector<uint8_t>* message, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return !messages_.empty() || woken_; });
  woken_ = false;
  if (messages_.empty()) return false;
  *message = std::move(messages_.front());
  messages_.pop_front();
  return true;
}

uint64_t SendQueue::DropQueued() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t dropped = 0;
  for (const auto& m : messages_) dropped += m.size();
  messages_.clear();
  unsent_.fetch_sub(dropped);
  return dropped;
}

void SendQueue::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  ready_.notify_one();
}

}  // namespace midiflash
