// The program's MIDI output: a client with one output port on a MIDI service, the destinations it
// can reach, and sends to the chosen one; and, for a device asked who it is, the bytes it sends
// back from one source port. src/midi implements it on the ALSA sequencer and on JACK
// (OpenMidiOutput picks the service); tests use a recording fake. Statuses are 0 for success and a
// negative errno (or the service's own non-zero code) otherwise. Nothing here throws.
//
// Threads: every call comes from the workflow's thread, except that the functions given to
// SetDestinationsChanged and SetReceived are called on a thread of the service.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace midiflash {

// One destination (or source: a port that sends to us). `id` names exactly this device for as long
// as it exists (the ALSA sequencer's "client:port", JACK's full port name); `name` is what lists
// show ("client name:port name").
struct MidiDestination {
  std::string id;
  std::string name;
  std::string clientName;    // the part of `name` before its port's name
  std::string portName;      // the port's own name
  bool passThrough = false;  // a port that only forwards to others, such as "Midi Through"
  bool operator==(const MidiDestination&) const = default;
};

class MidiOutput {
 public:
  virtual ~MidiOutput() = default;

  // "alsa", "jack", or "none" when no MIDI service could be reached (then there are no
  // destinations and every send fails).
  virtual const char* ServiceName() const = 0;

  // The destinations present now, read at one moment, in the service's order.
  virtual std::vector<MidiDestination> ListDestinations() = 0;
  // Makes the destination with identity `id` the target of every later send. Returns 0, or a
  // non-zero status with no target left, so that later sends fail: -ENOENT when no destination
  // has that identity now (never another device in its place), -ENODEV without a client or port.
  // Opening the target that is open already keeps its connection and clears DeliveryError.
  virtual int32_t OpenDestination(const std::string& id) = 0;
  // Asks for `changed` to be called whenever destinations may have appeared, gone away or been
  // renamed (also for changes that leave the list as it was). It is called on a thread of the
  // service, so it must only queue work for its own thread and return. An empty function stops the
  // calls; once this returns, the previous function is no longer running or called.
  virtual void SetDestinationsChanged(std::function<void()> changed) = 0;

  // The largest message, in bytes, that destination `id` can be sent whole; UINT64_MAX when any
  // size goes (a kernel MIDI port takes a message in pieces).
  virtual uint64_t LargestMessage(const std::string& id) = 0;
  // Hands `size` bytes, unchanged, to the service as one message for the target. Returns 0 when
  // the whole message was accepted, a non-zero status otherwise (nothing of it is sent then).
  virtual int32_t Send(const uint8_t* data, size_t size) = 0;

  // Delivery after a send has returned. A backend may queue messages and hand them on later (a
  // slow device drains at the speed of its cable); these tell the workflow what is still on the
  // way. None of them blocks.
  //
  // Bytes accepted by the sends but not yet out of the computer's buffers for the destination
  // (queued, or waiting in a kernel or driver buffer the backend can see). 0 when all has left.
  virtual uint64_t PendingBytes() = 0;
  // The first failure met after a send had returned 0 (the destination went away, the device
  // stopped draining, the server died), as a non-zero status the backend has logged; 0 when none.
  // It stays until the next OpenDestination.
  virtual int32_t DeliveryError() = 0;
  // Cancel: lets the message that is leaving now finish and discards every message queued after
  // it, so that nothing more is sent. Returns at once.
  virtual void DropPending() = 0;
  // How many times since the latest OpenDestination the service may have lost messages without
  // telling the sender. 0 when none was seen.
  virtual uint64_t DeliveryWarnings() = 0;
  // True while the service could still report a loss of bytes that have already left (a JACK
  // server tells of a late client on another thread, some cycles after it): a completed run waits
  // until this is false before it counts the warnings. False when every report comes at once.
  virtual bool LossReportDue() { return false; }
  // False when the service can lose messages without any sign the sender could count (PipeWire's
  // JACK library drops what a receiver that falls behind misses), so that a completed run must
  // say that its delivery could not be verified.
  virtual bool SeesEveryLoss() const { return true; }

  // Input, only while a device is asked who it is. Nothing received changes what is sent.
  //
  // The sources present now, read at one moment: ports of other clients that a device sends from
  // (the ALSA sequencer's readable ports, JACK's MIDI output ports), described as destinations are.
  virtual std::vector<MidiDestination> ListSources() { return {}; }
  // Receives from source `id` alone from now on; "" receives from none (and on the ALSA sequencer
  // lets a kernel MIDI port close its input). Returns 0, -ENOENT when no source has that identity
  // now, -ENODEV without a client, or the service's status; after a failure nothing is received.
  virtual int32_t OpenSource(const std::string& id) { return id.empty() ? 0 : -ENODEV; }
  // Asks for `received` to be called with the bytes of the open source as they arrive, in order,
  // in pieces of any size (a System Exclusive message may come in several). It is called on a
  // thread of the service and must only queue work for its own thread. An empty function stops
  // the calls; once this returns, the previous function is no longer running or called.
  virtual void SetReceived(std::function<void(const uint8_t* data, size_t size)> received) {
    (void)received;
  }
};

}  // namespace midiflash
