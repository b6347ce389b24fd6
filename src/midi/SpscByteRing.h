// A lock-free byte ring for exactly one producer thread and one consumer thread, such as the main
// thread handing MIDI messages to a JACK process callback. It never allocates after construction,
// so the consumer side is safe in a real-time callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace midiflash {

class SpscByteRing {
 public:
  // `capacity` is rounded up to a power of two.
  explicit SpscByteRing(size_t capacity) : capacity_(RoundUp(capacity)), mask_(capacity_ - 1) {
    bytes_ = std::make_unique<uint8_t[]>(capacity_);
  }

  size_t capacity() const { return capacity_; }

  // Producer side: bytes that can be written now.
  size_t WriteSpace() const {
    return capacity_ -
           (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
  }

  // Producer side: writes `a` then `b` as one unit, visible to the consumer all at once.
  // Returns false (writing nothing) when both do not fit.
  bool Write(const void* a, size_t na, const void* b, size_t nb) {
    if (WriteSpace() < na + nb) return false;
    size_t head = head_.load(std::memory_order_relaxed);
    CopyIn(head, a, na);
    CopyIn(head + na, b, nb);
    head_.store(head + na + nb, std::memory_order_release);
    return true;
  }

  // Producer side: bytes written since construction. A consumer that has read this many has
  // consumed everything written before the call.
  size_t WrittenTotal() const { return head_.load(std::memory_order_relaxed); }

  // Bytes consumed since construction. Either side may ask: the count only grows, and the
  // producer sees one the consumer has reached.
  size_t ReadTotal() const { return tail_.load(std::memory_order_acquire); }

  // Consumer side: consumes the next `n` bytes without copying them. Returns false (consuming
  // nothing) when fewer than `n` are there.
  bool Skip(size_t n) {
    if (ReadSpace() < n) return false;
    tail_.store(tail_.load(std::memory_order_relaxed) + n, std::memory_order_release);
    return true;
  }

  // Consumer side: bytes that can be read now.
  size_t ReadSpace() const {
    return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
  }

  // Consumer side: copies the next `n` bytes without consuming them. Returns false when fewer
  // than `n` are there.
  bool Peek(void* dst, size_t n) const {
    if (ReadSpace() < n) return false;
    CopyOut(tail_.load(std::memory_order_relaxed), dst, n);
    return true;
  }

  // Consumer side: copies and consumes the next `n` bytes. Returns false (consuming nothing)
  // when fewer than `n` are there.
  bool Read(void* dst, size_t n) {
    if (!Peek(dst, n)) return false;
    tail_.store(tail_.load(std::memory_order_relaxed) + n, std::memory_order_release);
    return true;
  }

 private:
  static size_t RoundUp(size_t n) {
    size_t c = 1;
    while (c < n) c <<= 1;
    return c;
  }

  void CopyIn(size_t pos, const void* src, size_t n) {
    size_t at = pos & mask_;
    size_t first = n < capacity_ - at ? n : capacity_ - at;
    if (first) std::memcpy(bytes_.get() + at, src, first);
    if (n > first) std::memcpy(bytes_.get(), static_cast<const uint8_t*>(src) + first, n - first);
  }

  void CopyOut(size_t pos, void* dst, size_t n) const {
    size_t at = pos & mask_;
    size_t first = n < capacity_ - at ? n : capacity_ - at;
    if (first) std::memcpy(dst, bytes_.get() + at, first);
    if (n > first) std::memcpy(static_cast<uint8_t*>(dst) + first, bytes_.get(), n - first);
  }

  const size_t capacity_;
  const size_t mask_;
  std::unique_ptr<uint8_t[]> bytes_;
  // Positions count up without wrapping; only their low bits index the storage.
  std::atomic<size_t> head_{0};
  std::atomic<size_t> tail_{0};
};

}  // namespace midiflash
