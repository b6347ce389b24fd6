// MIDI output through the ALSA sequencer: one client with one readable port, connected to the
// chosen destination for as long as it stays chosen (a kernel MIDI port opens its device only
// while someone is connected). What a device answers is read by the announce watcher's client, on
// its thread, from the source port it is subscribed to while a device is asked. Sends queue their
// message and return at once; a sender thread delivers the queue in order. A kernel MIDI port (a
// kernel client with a card) gets each message in pieces that fit its output buffer, no faster than
// a MIDI cable carries them (CableModel); any other client gets each message whole, as soon as it
// can take it.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AlsaAnnounceWatcher.h"
#include "CableModel.h"
#include "DestinationNotifier.h"
#include "MidiOutput.h"
#include "RawmidiStatus.h"
#include "SendQueue.h"

namespace midiflash {

class AlsaSeqBackend final : public MidiOutput {
 public:
  AlsaSeqBackend();
  // Waits until what was sent has left the computer (or the device stopped draining for 5 s),
  // then disconnects and closes: closing earlier would make the driver discard what it holds.
  ~AlsaSeqBackend() override;
  AlsaSeqBackend(const AlsaSeqBackend&) = delete;
  AlsaSeqBackend& operator=(const AlsaSeqBackend&) = delete;

  // Opens the sequencer and names the client. Returns 0 or ALSA's negative errno.
  int32_t CreateClient(const char* name);
  // Creates the port and starts the sender thread. Returns 0 or ALSA's negative errno.
  int32_t CreateOutputPort(const char* name);

  const char* ServiceName() const override { return "alsa"; }
  // Destinations are the ports of other clients that accept writes and write subscriptions,
  // named "client name:port name" as ALSA's own tools show them, identified by "client:port". A
  // kernel client without a card (the sequencer's "Midi Through") is a pass-through port.
  std::vector<MidiDestination> ListDestinations() override;
  // Waits (at most about a second) for what was sent to the previous destination to leave, drops
  // the rest, disconnects from it and connects to the destination at address `id`; the port
  // already connected stays connected. Returns 0, -ENODEV (no client or port), -ENOENT (no
  // destination at that address now: none is left connected) or the refused connection's status,
  // logged as "snd_seq_connect_to err = %d" (-EBUSY where the kernel said -EAGAIN: another program
  // holds the device); every later send then fails with it.
  int32_t OpenDestination(const std::string& id) override;
  // `changed` runs on the thread of a second client that watches the announce port (started with
  // the output port). That watcher also fails delivery with -ENOENT as soon as the destination's
  // port or client exits, even between two messages.
  void SetDestinationsChanged(std::function<void()> changed) override;
  // Sources are the ports of other clients that can be read and subscribed to, listed and named
  // as destinations are; a device's port is often both.
  std::vector<MidiDestination> ListSources() override;
  // Subscribes the watcher's hidden input port to the source at address `id` alone ("": to none).
  // Returns 0, -ENOENT (no source at that address now), -ENODEV (no watcher) or ALSA's status.
  int32_t OpenSource(const std::string& id) override;
  // `received` runs on the watcher's thread.
  void SetReceived(std::function<void(const uint8_t*, size_t)> received) override;
  // UINT64_MAX for a kernel MIDI port (or an identity that is no address); otherwise the largest
  // System Exclusive that goes whole as one event: 55,972 bytes (1,999 cells of 28) for a kernel
  // client without a card, and for a user-space client as many cells as its input pool has, less
  // one (5,572 bytes at the kernel's default of 200 cells; 200 assumed when it cannot be read).
  uint64_t LargestMessage(const std::string& id) override;
  // Queues the message for the sender thread and returns at once. Fails, queueing nothing, with
  // -ENODEV (no client, port or target), the refused connection's status, the delivery error
  // already met, -ENOENT (target port gone), -EINVAL (empty), -ENOBUFS (64 MiB already waiting)
  // or ALSA's own negative errno.
  int32_t Send(const uint8_t* data, size_t size) override;

  // Queued bytes, plus for a kernel MIDI port what its buffers may still hold: the larger of what
  // its rawmidi status shows and what the cable model has not yet let drain.
  uint64_t PendingBytes() override;
  // The first delivery failure: the call's own status (-ENOENT, destination gone), or -ETIMEDOUT
  // when the destination took nothing for 5 s. Logged once as "MIDISend err = %d".
  int32_t DeliveryError() override { return delivery_error_.load(); }
  // Drops every message not yet started; the one being delivered finishes.
  void DropPending() override { queue_.DropQueued(); }
  // The sequencer reports every loss to the sender; the cable pacing prevents the one it does not.
  uint64_t DeliveryWarnings() override { return 0; }

 private:
  struct Destination {
    snd_seq_addr_t address;
    MidiDestination listed;
  };
  // What the sender needs of the destination; changed only while the sender is idle.
  struct Target {
    snd_seq_addr_t address{};
    bool kernel_port = false;
    RawmidiStatus rawmidi;
  };
  using Clock = std::chrono::steady_clock;

  // The ports of other clients that have every capability in `caps`.
  std::vector<Destination> Ports(unsigned caps);
  // Grows the kernel output pool so that a `size`-byte message fits. Returns 0 or an errno.
  int GrowPoolFor(size_t size);

  // Sender thread.
  void SenderLoop();
  int DeliverWhole(const Target& target, const std::vector<uint8_t>& message, size_t* left);
  int DeliverInPieces(const Target& target, const std::vector<uint8_t>& message, size_t* left);
  int WaitForRoom(const Target& target, size_t* piece);
  int OutputWithRetry(snd_seq_event_t* event);
  void WatchDrain(const Target& target);
  // Sleeps until `until`; false when woken to stop or abandon delivery.
  bool SleepUntil(Clock::time_point until);
  // Records the first delivery failure, logs it and drops everything queued behind it.
  void Fail(int err);
  // Watcher thread: a burst of announcements, with the ports that exited.
  void OnAnnounced(const std::vector<snd_seq_addr_t>& exited);

  // Main thread: waits until nothing is pending, a delivery failed, or `limit` has passed.
  void WaitDelivered(Clock::duration limit);
  // Main thread: drops everything, the message being delivered included, and waits until the
  // sender is idle.
  void AbandonDelivery();

  snd_seq_t* seq_ = nullptr;
  // alsa-lib's handle is not thread-safe: every call on seq_ holds this.
  std::mutex seq_mutex_;
  int client_id_ = -1;
  int port_ = -1;
  size_t pool_cells_ = 0;

  // Main thread only.
  bool has_target_ = false;
  bool connected_ = false;
  int32_t connect_error_ = 0;

  SendQueue queue_;
  std::thread sender_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> abandon_{false};
  std::atomic<int32_t> delivery_error_{0};
  std::atomic<uint64_t> kernel_held_{0};

  // Guards what follows and wakes the sender's sleeps. target_ is written only by the workflow's
  // thread, under the lock, so that thread alone may also read it without the lock.
  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  Target target_;
  CableModel cable_;
  bool delivering_ = false;
  // Idle drain watch: the last status seen and when it last changed.
  RawmidiOutput idle_last_;
  Clock::time_point idle_since_{};

  std::string client_name_;
  DestinationNotifier notifier_;
  ReceivedNotifier received_;
  // Declared last: destroyed (its thread stopped) before the notifiers it calls.
  AlsaAnnounceWatcher watcher_;
};

}  // namespace midiflash
