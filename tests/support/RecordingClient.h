// A JACK client that records every MIDI message whole with its arrival time. As a device it
// answers Identity Requests on a port "output": device 10, manufacturer 7D, family 0x0012, model
// 0x00B4, software revision 1.0.0.0 until anything else came in, then 1.0.1.0.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
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
    kOff,     // no output port
    kNever,   // an output port that never sends
    kAnswer,  // the reply at once, in three pieces with a clock byte inside
    kLate,    // the reply whole, 1.5 s after the request
  };

  // Opens and activates the client on the server JACK_DEFAULT_SERVER names (never starts one).
  explicit RecordingClient(const std::string& client_name = "recorder",
                           const std::string& port_name = "input", Answer answer = Answer::kOff)
      : port_name_(port_name), answer_(answer) {
    Open(client_name);
  }
  ~RecordingClient() { Close(); }
  bool ok() const { return client_.load() != nullptr; }
  const std::string& FullPortName() const { return full_port_name_; }
  jack_client_t* client() const { return client_.load(); }
  std::vector<Message> Messages() const;  // in arrival order
  size_t Count() const;
  bool WaitForCount(size_t n, std::chrono::milliseconds timeout) const {
    return Eventually([&] { return Count() >= n; }, timeout);
  }
  uint64_t Overflows() const { return overflows_.load(); }  // lost to a full ring
  // Makes each of the next `cycles` process calls take `each` longer, as a client starved of CPU.
  void Stall(int cycles, std::chrono::microseconds each) {
    stall_usecs_ = each.count(), stall_cycles_ = cycles;
  }
  void Close();  // leaves the server at once; what arrived stays readable
  // Comes back as `client_name`, as a device restarting after an update, and answers as updated.
  bool Restart(const std::string& client_name) {
    Close();
    updated_ = true, answer_at_ = 0;
    return Open(client_name), ok();
  }

 private:
  void Open(const std::string& client_name);
  static int Process(jack_nframes_t nframes, void* arg);

  // Atomic because the process callback reads them while Close() may clear them.
  std::atomic<jack_client_t*> client_{nullptr};
  std::atomic<jack_port_t*> port_{nullptr}, out_port_{nullptr};
  const std::string port_name_;
  const Answer answer_;
  std::string full_port_name_;
  std::atomic<bool> updated_{false};
  jack_time_t answer_at_ = 0;  // when a reply is due (0: none); the process thread's
  std::atomic<uint64_t> overflows_{0};
  std::atomic<int> stall_cycles_{0};
  std::atomic<int64_t> stall_usecs_{0};
  mutable std::mutex mutex_;             // for the ring's reading side and messages_
  mutable SpscByteRing ring_{16 << 20};  // a second of a saturated 128-frame port
  mutable std::vector<Message> messages_;
};

}  // namespace midiflash::testing
