// MIDI output through a JACK server (jackd, or PipeWire's libjack): one MIDI output port,
// connected to the chosen destination alone. Sends are queued in a lock-free ring that the process
// callback empties into the port buffer, in order, at the start of the next cycle, as much as the
// server really carries in one cycle (CycleBudget); the rest waits for the next cycle. The server's
// notification thread watches the port list (for the destination list's listener) and reports
// xruns; the process thread counts the cycles carrying our data that may have been lost. While a
// device is asked who it is, a MIDI input port of ours is connected to its source: the process
// callback copies what arrives into a second ring, which a reader thread of ours hands on.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DestinationNotifier.h"
#include "MidiOutput.h"
#include "SpscByteRing.h"

namespace midiflash {

// What one JACK cycle carries of our port's MIDI, in the server's own terms.
class CycleBudget {
 public:
  // `port_bytes` is the MIDI port buffer's size; `pipewire` whether PipeWire's libjack serves it.
  CycleBudget(size_t port_bytes, bool pipewire);
  // The largest single message that arrives whole; 0 when nothing fits.
  size_t LargestMessage(size_t max_event_size) const;
  // Starts a cycle's count.
  void Reset() { used_ = pipewire_ ? kSequenceHeader : 0; }
  // Counts a `size`-byte message into this cycle; false (counting nothing) when it would not
  // arrive whole with what the cycle holds already. On jackd the port buffer decides alone.
  bool Take(size_t size);
  // Bytes of the cycle's capacity in use, in PipeWire's terms (0 on jackd).
  size_t used() const { return used_; }
  size_t capacity() const { return capacity_; }

  // PipeWire 0.3.65 copies a cycle's JACK events into a buffer of the port buffer's size as a
  // sequence: 16 bytes of header, then per event 16 bytes of control and pod header and the
  // data rounded up to 8. It does not check that they fit: what does not fit loses the whole
  // cycle. Kept this far below the end.
  static constexpr size_t kSequenceHeader = 16;
  static constexpr size_t kEventHeader = 16;
  static constexpr size_t kMargin = 128;

 private:
  bool pipewire_;
  size_t capacity_;
  size_t used_ = 0;
};

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
  // jackd reports what it skips; PipeWire 0.3.65 gives no sign of what a late reader missed.
  bool SeesEveryLoss() const override { return !pipewire_; }
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
  // port gone), -ENOTCONN (no longer connected), -EMSGSIZE (larger than LargestMessage), -EINVAL
  // (empty) or -ETIMEDOUT (ring still full after about a second).
  int32_t Send(const uint8_t* data, size_t size) override;
  // Sources are the MIDI output ports of other clients, named as destinations are.
  std::vector<MidiDestination> ListSources() override;
  // Connects our input port (registered at the first call) to the MIDI output port named `id`
  // alone; "" to none. Returns 0, -ENOENT (no such port now), -ENODEV (no client, server gone),
  // -EIO (no input port), -ETIMEDOUT (the connection did not show within a second) or
  // jack_connect's status.
  int32_t OpenSource(const std::string& id) override;
  // `received` runs on our reader thread, with one JACK event at a time.
  void SetReceived(std::function<void(const uint8_t*, size_t)> received) override;
  // The largest message one cycle of this server carries whole through our port (the same for
  // every destination); UINT64_MAX without an active port, where every send fails anyway.
  uint64_t LargestMessage(const std::string& id) override;

  // Message bytes that no finished cycle has carried yet: queued, or written in the cycle now
  // running.
  uint64_t PendingBytes() override;
  // After a send succeeded since the latest open: -ESHUTDOWN when the server went away, -ENOENT
  // when the target port did, -ENOTCONN when our connection to it was removed (and 100 ms later
  // the port is still there), -ETIMEDOUT when queued bytes have not moved for 5 s since the first
  // send that found nothing pending. Logged once as "MIDISend err = %d".
  int32_t DeliveryError() override;
  // The process callback discards everything queued before this call at its next cycle.
  void DropPending() override;
  // Cycles carrying our data that the server may have lost without telling us: on jackd, a
  // report that it went on without a late client, arriving within LossReportDue's window after a
  // cycle that carried our data (with --sync, after a cycle that came 250 ms late with our data
  // in the graph); on PipeWire, an xrun, a skipped cycle or a 250 ms gap while data was in the
  // graph (PipeWire 0.3.65 loses what a late reader missed
  // without telling us: see bench_delivery).
  uint64_t DeliveryWarnings() override { return warnings_.load(); }
  // On jackd, for 250 ms and two cycles after the latest cycle that carried our data: a report of
  // a late client reaches us on the notification thread, that much later on a loaded machine.
  bool LossReportDue() override;

 private:
  static int Process(jack_nframes_t nframes, void* arg);
  static void OnShutdown(void* arg);
  static int OnXrun(void* arg);
  // Whether NowNs() `then_ns` (0: never) lies within 250 ms and two cycles before `now_ns`: how
  // late a report of a lost cycle may come. Any thread.
  bool Recent(int64_t then_ns, int64_t now_ns) const;
  // Counts a possible loss of the data of `concerned_ns` unless it was counted already. Process or
  // notification thread.
  void CountLossOnce(int64_t concerned_ns);
  static void OnPortRegistration(jack_port_id_t, int, void* arg);
  static void OnClientRegistration(const char*, int, void* arg);
  static void OnPortRename(jack_port_id_t, const char*, const char*, void* arg);
  static void OnPortConnect(jack_port_id_t a, jack_port_id_t b, int connect, void* arg);

  // The full names of other clients' MIDI ports with `flags` (JackPortIsInput: destinations).
  std::vector<std::string> PortNames(unsigned long flags);
  // Reader thread: hands what the process callback received to `received_`.
  void ReadLoop();
  // Waits until the process callback has run `cycles` more times; false on timeout or shutdown.
  bool WaitForCycles(uint64_t cycles);
  // Waits until the ring is empty and its last message has been written to the port.
  void WaitUntilSent();
  // Connects our port `own` to the port named `other` (`own_sends`: ours is the source) and
  // waits until the server shows the connection, which it publishes only with the next graph
  // change: 0, jack_connect's error, -ESHUTDOWN or -ETIMEDOUT. Workflow's thread.
  int32_t ConnectAndWait(jack_port_t* own, const std::string& other, bool own_sends);
  // Status of the target as the workflow's thread sees it now: 0, or a DeliveryError status.
  int32_t TargetStatus();

  jack_client_t* client_ = nullptr;
  std::atomic<jack_port_t*> port_{nullptr};
  std::unique_ptr<SpscByteRing> ring_;
  DestinationNotifier notifier_;
  std::atomic<bool> shut_down_{false};
  std::atomic<bool> active_{false};
  // Set before activation, read-only after.
  bool pipewire_ = false;
  bool sync_ = false;  // jackd --sync
  std::atomic<uint64_t> cycles_{0};
  // steady_clock nanoseconds at the start of the latest process call.
  std::atomic<int64_t> last_cycle_ns_{0};
  // Largest single event that fits an empty port buffer, measured by the process callback.
  std::atomic<size_t> max_event_size_{0};
  // Made before activation; used by the process thread only after.
  std::unique_ptr<CycleBudget> budget_;

  // Input. The port is registered by the workflow's thread and then only read; the process
  // thread writes the ring, the reader thread reads it and calls `received_`.
  std::atomic<jack_port_t*> in_port_{nullptr};
  std::unique_ptr<SpscByteRing> in_ring_;  // made before activation
  std::atomic<uint64_t> in_overflows_{0};
  ReceivedNotifier received_;
  std::atomic<bool> stop_reader_{false};
  std::thread reader_;  // started with the input port

  // Workflow thread only.
  std::string target_;
  bool sent_since_open_ = false;
  int32_t delivery_error_ = 0;
  size_t last_read_total_ = 0;
  std::chrono::steady_clock::time_point last_progress_{};
  std::chrono::steady_clock::time_point unconnected_since_{};

  // The target's port, set by the workflow thread while no connection to it exists; the
  // notification thread sets `unlinked_` when the server removes our connection to it.
  std::atomic<jack_port_t*> target_port_{nullptr};
  std::atomic<bool> unlinked_{false};

  // Ring position up to which the process callback discards (DropPending).
  std::atomic<size_t> drop_until_{0};
  std::atomic<uint64_t> pending_bytes_{0};
  std::atomic<uint64_t> warnings_{0};
  // PipeWire's xruns, counted by the notification thread (which alone uses last_xrun_delay_); the
  // process thread compares with what it saw.
  std::atomic<uint64_t> graph_xruns_{0};
  float last_xrun_delay_ = 0;
  // The last_data_ns_ or gave_up_ns_ that the latest counted loss concerned (both threads).
  std::atomic<int64_t> last_counted_ns_{0};
  // Written by the process thread, read by the notification and workflow threads: NowNs() at the
  // start of the latest call that wrote our data, and (--sync) of the latest that came 250 ms late
  // with data in the graph; the cycle's length. Written by the notification thread: when jackd
  // last reported that it went on without a late client.
  std::atomic<int64_t> last_data_ns_{0};
  std::atomic<int64_t> gave_up_ns_{0};
  std::atomic<int64_t> period_ns_{0};
  std::atomic<int64_t> xrun_ns_{0};
  // Process thread only: bytes written in the previous two calls, which the graph may still be
  // carrying (on PipeWire a skipped cycle or a gap can still concern them); the xruns seen at the
  // previous call; the previous call's first frame.
  uint64_t in_graph_bytes_[2] = {0, 0};
  uint64_t xruns_seen_ = 0;
  jack_nframes_t previous_frames_ = 0;
  bool have_previous_frames_ = false;
};

}  // namespace midiflash
