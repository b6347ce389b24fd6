// One Linux MIDI service (ALSA sequencer or JACK) as MidiAPI uses it: a client with one output
// port, a list of destinations and a send to the chosen one. Statuses are 0 for success and a
// negative errno (or the service's own non-zero code) otherwise. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "MidiPort.h"

namespace midiflash {

class MidiBackend {
 public:
  virtual ~MidiBackend() = default;

  // Registers the client under `name`. Returns 0, or the service's non-zero status when the
  // service cannot be reached; the backend is then unusable.
  virtual int32_t CreateClient(const char* name) = 0;
  // Creates the output port `name` on the client. Returns 0 or a non-zero status.
  virtual int32_t CreateOutputPort(const char* name) = 0;

  // The destinations present now, in the service's order, each with its identity; empty
  // without a client.
  virtual std::vector<MidiDestination> ListDestinations() = 0;
  // Makes the destination with identity `id` the target of later sends. Returns 0, or a non-zero
  // status (-ENOENT when it is not there now, -ENODEV without a client or port) with no target
  // left, so that later sends fail. An empty `id` just leaves no target and returns -ENOENT.
  virtual int32_t OpenDestination(const std::string& id) = 0;
  // See MidiPort::SetDestinationsChanged: `changed` runs on a thread of the service.
  virtual void SetDestinationsChanged(std::function<void()> changed) = 0;
  // Hands `size` bytes, unchanged, to the service as one message for the target. Returns 0 when
  // the whole message was handed over, a non-zero status otherwise (nothing of it is sent then).
  virtual int32_t Send(const uint8_t* data, size_t size) = 0;
  // See MidiPort::LargestMessage.
  virtual uint64_t LargestMessage() { return UINT64_MAX; }

  // Delivery after Send has returned, as MidiPort describes it: bytes still on the way, the first
  // failure met after a send returned (already logged by the backend), dropping what is queued
  // behind the message now leaving, and the count of losses the service may have hidden.
  virtual uint64_t PendingBytes() { return 0; }
  virtual int32_t DeliveryError() { return 0; }
  virtual void DropPending() {}
  virtual uint64_t DeliveryWarnings() { return 0; }
};

}  // namespace midiflash
