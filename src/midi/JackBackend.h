// MIDI output through a JACK server: one MIDI output port, connected to the chosen destination
// alone. Sends are queued in a lock-free ring that the process callback empties into the port
// buffer, in order, at the start of the next cycle. The server's notification thread watches the
// port list (for the destination list's listener) and the target's connection (for delivery
// failures); the process thread counts cycles the server may have cut short.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DestinationNotifier.h"
#include "MidiOutput.h"
#include "SpscByteRing.h"

namespace midiflash {

class JackBackend final : public MidiOutput {
 public:
  JackBackend() = default;
  ~JackBackend() override;
  JackBackend(const JackBackend&) = delete;
  JackBackend& operator=(const JackBackend&) = delete;

  // Opens a client on a running server; never starts one. Returns 0, or the jack_status_t bits
  // of the failure.
  int32_t CreateClient(const char* name);
  // Registers the MIDI output port and activates the client. Returns 0 or a non-zero status.
  int32_t CreateOutputPort(const char* name);

  const char* ServiceName() const override { return "jack"; }
  // Destinations are the MIDI input ports of other clients, in the server's port order; the
  // full port name "client:port" is both identity and display name. Ports of a bridge's "Midi
  // Through" count as pass-through.
  std::vector<MidiDestination> ListDestinations() override;
  // Waits (at most about a second) until what was sent has left, then connects the port to the
  // MIDI input port named `id` alone. Fails with -ENOENT (no such port now), -ENODEV (no client
  // or port, server gone), -ETIMEDOUT (the connection did not show within a second) or
  // jack_connect's status. Resets the delivery error and the warning count.
  int32_t OpenDestination(const std::string& id) override;
  // Port registrations, renames and clients coming and going; called on JACK's notification
  // thread, and once more when the server shuts down.
  void SetDestinationsChanged(std::function<void()> changed) override;
  // Fails with -ENODEV (no client, port or target), -ESHUTDOWN (server gone), -ENOENT (target
  // port gone), -ENOTCONN (no longer connected), -EMSGSIZE (larger than one cycle's MIDI buffer
  // can hold), -EINVAL (empty) or -ETIMEDOUT (ring still full after about a second).
  int32_t Send(const uint8_t* data, size_t size) override;
  // The largest single event the server's MIDI port buffer holds, whatever the destination.
  uint64_t LargestMessage(const std::string& id) override;

  // Message bytes in the ring that no cycle has written into the port buffer yet.
  uint64_t PendingBytes() override;
  // After a send succeeded since the latest open: -ESHUTDOWN when the server went away, -ENOENT
  // when the target port did, -ENOTCONN when our connection to it was removed, -ETIMEDOUT when
  // queued bytes have not moved for 5 s. Logged once as "MIDISend err = %d".
  int32_t DeliveryError() override;
  // The process callback discards everything queued before this call at its next cycle.
  void DropPending() override;
  // Xruns reported by the server, and cycles our process callback ran past their end or never
  // saw, while messages were on their way (queued, or written in one of the last few cycles).
  uint64_t DeliveryWarnings() override { return warnings_.load(); }

 private:
  static int Process(jack_nframes_t nframes, void* arg);
  static void OnShutdown(void* arg);
  static int OnXrun(void* arg);
  static void OnPortRegistration(jack_port_id_t, int, void* arg);
  static void OnClientRegistration(const char*, int, void* arg);
  static void OnPortRename(jack_port_id_t, const char*, const char*, void* arg);

  std::vector<std::string> Destinations();
  // Waits until the process callback has run `cycles` more times; false on timeout or shutdown.
  bool WaitForCycles(uint64_t cycles);
  // Waits until the ring is empty and its last message has been written to the port.
  void WaitUntilSent();
  // Process thread: true while a loss in this cycle could hit a message of ours.
  bool AtStake(uint64_t cycle) const;
  // Status of the target as the workflow's thread sees it now: 0, or a DeliveryError status.
  int32_t TargetStatus();

  jack_client_t* client_ = nullptr;
  std::atomic<jack_port_t*> port_{nullptr};
  std::unique_ptr<SpscByteRing> ring_;
  DestinationNotifier notifier_;
  std::atomic<bool> shut_down_{false};
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> cycles_{0};
  // Largest single event that fits an empty port buffer, measured by the process callback.
  std::atomic<size_t> max_event_size_{0};

  // Workflow thread only.
  std::string target_;
  bool sent_since_open_ = false;
  int32_t delivery_error_ = 0;
  size_t last_read_total_ = 0;
  std::chrono::steady_clock::time_point last_progress_{};

  // Ring position up to which the process callback discards (DropPending).
  std::atomic<size_t> drop_until_{0};
  std::atomic<uint64_t> pending_bytes_{0};
  std::atomic<uint64_t> warnings_{0};
  // Process thread: the cycle that last wrote a message, and the previous cycle's first frame.
  std::atomic<uint64_t> last_write_cycle_{0};
  jack_nframes_t previous_frames_ = 0;
  bool have_previous_frames_ = false;
  bool was_late_ = false;
};

}  // namespace midiflash
