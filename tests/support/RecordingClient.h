// A JACK client of our own with one MIDI input port that keeps every message it receives, of any
// size, with its arrival frame. The process callback only copies into a preallocated lock-free
// ring; a reader thread moves the records into the list that the accessors read.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SpscByteRing.h"

namespace midiflash::testing {

class RecordingClient {
 public:
  struct Message {
    std::vector<uint8_t> bytes;
    // Absolute frame of arrival: the cycle's first frame plus the event's offset in it.
    jack_nframes_t frame = 0;
    // jack_get_time() when the process callback took the message: the wall-clock side of the
    // arrival, comparable with jack_get_time() taken by the sender.
    jack_time_t usecs = 0;
  };

  // Opens client `client_name` with input port `port_name` on the server named by
  // JACK_DEFAULT_SERVER (never starts one) and activates it. ok() tells whether that worked.
  explicit RecordingClient(const std::string& client_name = "recorder",
                           const std::string& port_name = "input");
  // Closes the client if still open.
  ~RecordingClient();
  RecordingClient(const RecordingClient&) = delete;
  RecordingClient& operator=(const RecordingClient&) = delete;

  bool ok() const { return client_.load() != nullptr; }
  // "client:port" as other clients see it (JACK may have renamed the client); empty if !ok().
  const std::string& FullPortName() const { return full_port_name_; }
  // The client, for frame-time queries (jack_frame_time); nullptr if !ok() or after Close().
  jack_client_t* client() const { return client_.load(); }

  // A copy of every message received so far, in arrival order.
  std::vector<Message> Messages() const;
  size_t Count() const;
  // Waits until at least `n` messages have arrived. Returns false on timeout.
  bool WaitForCount(size_t n, std::chrono::milliseconds timeout) const;
  // Messages the process callback had to drop because the hand-over ring was full; a test that
  // relies on completeness should check that this stays 0.
  uint64_t Overflows() const { return overflows_.load(); }
  // Makes the process callback take `each` longer than usual in each of the next `cycles`
  // cycles, as a client starved of CPU would: the server runs late or skips cycles.
  void Stall(int cycles, std::chrono::microseconds each);
  // Removes the client (and its port) from the server now, e.g. in the middle of a stream;
  // what had arrived stays readable.
  void Close();

 private:
  static int Process(jack_nframes_t nframes, void* arg);
  void ReaderLoop();
  void Drain();

  // Atomic because the process callback reads it while Close() may clear it.
  std::atomic<jack_client_t*> client_{nullptr};
  std::atomic<jack_port_t*> port_{nullptr};
  std::string full_port_name_;
  SpscByteRing ring_;
  std::atomic<uint64_t> overflows_{0};
  std::atomic<int> stall_cycles_{0};
  std::atomic<int64_t> stall_usecs_{0};

  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Message> messages_;
  std::vector<uint8_t> scratch_;
};

}  // namespace midiflash::testing
