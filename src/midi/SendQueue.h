// The messages that sends have accepted and a sender thread has yet to deliver, in order. Pushing
// never waits for the consumer; the consumer's waits are bounded. Nothing is dropped except by
// DropQueued. Every call holds one mutex and returns promptly, so any thread may make it: in the
// ALSA backend the workflow's thread pushes and drops (cancel), the sender thread takes and drops
// (a failure), and the announce watcher drops (the destination went away).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace midiflash {

class SendQueue {
 public:
  // At most `max_bytes` may wait at once (taken but unsent bytes included).
  explicit SendQueue(uint64_t max_bytes) : max_bytes_(max_bytes) {}

  // Queues a copy of the message. Returns false, queueing nothing, when it would take
  // the queue past its limit.
  bool Push(const uint8_t* data, size_t size);
  // Takes the next message, waiting at most `timeout` for one. Its bytes still count as
  // unsent until MarkSent. Returns false when none came (or Wake was called).
  bool Take(std::vector<uint8_t>* message, std::chrono::milliseconds timeout);
  // `n` bytes of a taken message have been delivered, or given up.
  void MarkSent(size_t n) { unsent_.fetch_sub(n); }
  // Drops every message not yet taken. Returns how many bytes were dropped.
  uint64_t DropQueued();
  // Ends a wait in Take at once.
  void Wake();

  // Bytes pushed and not yet marked sent or dropped.
  uint64_t Unsent() const { return unsent_.load(); }

 private:
  const uint64_t max_bytes_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::vector<uint8_t>> messages_;
  std::atomic<uint64_t> unsent_{0};
  bool woken_ = false;
};

}  // namespace midiflash
