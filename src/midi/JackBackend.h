// MIDI output through a JACK server: one MIDI output port, connected to the chosen destination
// alone. Sends are queued in a lock-free ring that the process callback empties into the port
// buffer, in order, at the start of the next cycle.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "MidiBackend.h"
#include "SpscByteRing.h"

namespace midiflash {

class JackBackend final : public MidiBackend {
 public:
  JackBackend() = default;
  ~JackBackend() override;
  JackBackend(const JackBackend&) = delete;
  JackBackend& operator=(const JackBackend&) = delete;

  // Opens a client on a running server; never starts one. Returns 0, or the jack_status_t bits
  // of the failure.
  int32_t CreateClient(const char* name) override;
  // Registers the MIDI output port and activates the client. Returns 0 or a non-zero status.
  int32_t CreateOutputPort(const char* name) override;

  // Destinations are the MIDI input ports of other clients, in the server's port order, named
  // "client:port".
  uint64_t DestinationCount() override;
  int32_t DestinationName(uint64_t index, std::string* name) override;
  // Waits (at most about a second) until what was sent has left, then connects the port to
  // destination `index` alone.
  void OpenDestination(int64_t index) override;
  // Fails with -ENODEV (no client, port or target), -ESHUTDOWN (server gone), -ENOENT (target
  // port gone), -ENOTCONN (no longer connected), -EMSGSIZE (larger than one cycle's MIDI buffer
  // can hold), -EINVAL (empty) or -ETIMEDOUT (ring still full after about a second).
  int32_t Send(const uint8_t* data, size_t size) override;

 private:
  static int Process(jack_nframes_t nframes, void* arg);
  static void OnShutdown(void* arg);

  std::vector<std::string> Destinations();
  // Waits until the process callback has run `cycles` more times; false on timeout or shutdown.
  bool WaitForCycles(uint64_t cycles);
  // Waits until the ring is empty and its last message has been written to the port.
  void WaitUntilSent();

  jack_client_t* client_ = nullptr;
  std::atomic<jack_port_t*> port_{nullptr};
  std::unique_ptr<SpscByteRing> ring_;
  std::string target_;
  std::atomic<bool> shut_down_{false};
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> cycles_{0};
  // Largest single event that fits an empty port buffer, measured by the process callback.
  std::atomic<size_t> max_event_size_{0};
};

}  // namespace midiflash
