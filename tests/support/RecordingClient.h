// A JACK client of our own with one MIDI input port that keeps every message it receives, of any
// size, with its arrival time. The process callback only copies into a preallocated lock-free
// ring; the accessors move what has arrived into the list they read. As a device that answers, it
// also has an output port "output" on which it answers Identity Requests as `Answer` says: device
// 10, manufacturer 7D, family 0x0012, model 0x00B4, software revision 1.0.0.0 until anything else
// has come in, then 1.0.1.0 (kAnswerAfter: 1.0.1.0 only).
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SpscByteRing.h"

namespace midiflash::testing {

// Polls `done` every millisecond until it holds or `timeout` has passed; returns its last answer.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout);

class RecordingClient {
 public:
  struct Message {
    std::vector<uint8_t> bytes;
    jack_nframes_t frame = 0;  // the cycle's first frame plus the event's offset in it
    jack_time_t usecs = 0;     // jack_get_time() when the process callback took it
  };

  enum class Answer {
    kOff,      // no output port
    kNever,    // an output port that never sends
    kAnswer,   // the reply at once, in three pieces with a clock byte inside
    kLate,     // the reply whole, 1.5 s after the request
    kGarbage,  // a wrong sub-id, a reply cut short, one broken by a note, one far too long
  };
  static constexpr uint8_t kDeviceId = 0x10;

  // Opens client `client_name` with input port `port_name` on the server named by
  // JACK_DEFAULT_SERVER (never starts one) and activates it; ok() tells whether that worked.
  explicit RecordingClient(const std::string& client_name = "recorder",
                           const std::string& port_name = "input", Answer answer = Answer::kOff);
  ~RecordingClient() { Close(); }
  RecordingClient(const RecordingClient&) = delete;
  RecordingClient& operator=(const RecordingClient&) = delete;

  bool ok() const { return client_.load() != nullptr; }
  // "client:port" as other clients see it; empty if the port could not be made.
  const std::string& FullPortName() const { return full_port_name_; }
  // nullptr if !ok() or after Close().
  jack_client_t* client() const { return client_.load(); }

  // Every message received so far, in arrival order.
  std::vector<Message> Messages() const;
  size_t Count() const;
  // Waits until at least `n` messages have arrived; false on timeout.
  bool WaitForCount(size_t n, std::chrono::milliseconds timeout) const {
    return Eventually([&] { return Count() >= n; }, timeout);
  }
  // Messages lost because the 16 MiB hand-over ring was full; 0 where completeness counts.
  uint64_t Overflows() const { return overflows_.load(); }
  // Makes each of the next `cycles` process calls take `each` longer, as a client starved of CPU.
  void Stall(int cycles, std::chrono::microseconds each) {
    stall_usecs_.store(each.count());
    stall_cycles_.store(cycles);
  }
  // Removes the client and its port from the server now; what had arrived stays readable.
  void Close();
  // Closes the client and opens it again as `client_name`, as a device restarting after an update
  // comes back as a new port; it answers as an updated device. Returns ok().
  bool Restart(const std::string& client_name);

 private:
  void Open(const std::string& client_name);
  static int Process(jack_nframes_t nframes, void* arg);
  // Process thread: what goes out on the output port in this cycle.
  void Reply(void* out, jack_time_t now);
  size_t Drain() const;  // moves the ring's records into messages_; called under mutex_

  // Atomic because the process callback reads them while Close() may clear them.
  std::atomic<jack_client_t*> client_{nullptr};
  std::atomic<jack_port_t*> port_{nullptr};
  std::atomic<jack_port_t*> out_port_{nullptr};
  const std::string port_name_;
  const Answer answer_;
  std::string full_port_name_;
  // Process thread only, but that Restart sets them while no client runs.
  std::atomic<bool> updated_{false};
  jack_time_t answer_at_ = 0;  // a reply is due (0: none)
  std::atomic<uint64_t> overflows_{0};
  std::atomic<int> stall_cycles_{0};
  std::atomic<int64_t> stall_usecs_{0};
  mutable SpscByteRing ring_;  // read only under mutex_
  mutable std::mutex mutex_;
  mutable std::vector<Message> messages_;
};

}  // namespace midiflash::testing
