// One Linux MIDI service (ALSA sequencer or JACK) as MidiAPI uses it: a client with one output
// port, a list of destinations and a send to the chosen one. Statuses are 0 for success and a
// negative errno (or the service's own non-zero code) otherwise. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace midiflash {

class MidiBackend {
 public:
  virtual ~MidiBackend() = default;

  // Registers the client under `name`. Returns 0, or the service's non-zero status when the
  // service cannot be reached; the backend is then unusable.
  virtual int32_t CreateClient(const char* name) = 0;
  // Creates the output port `name` on the client. Returns 0 or a non-zero status.
  virtual int32_t CreateOutputPort(const char* name) = 0;

  // Number of destinations present now; 0 without a client.
  virtual uint64_t DestinationCount() = 0;
  // Puts the display name of destination `index` into `name`. Returns 0, or a non-zero status
  // (name untouched) when there is no such destination.
  virtual int32_t DestinationName(uint64_t index, std::string* name) = 0;
  // Makes destination `index` the target of later sends. An index outside the list leaves no
  // target, so later sends fail.
  virtual void OpenDestination(int64_t index) = 0;
  // Hands `size` bytes, unchanged, to the service as one message for the target. Returns 0 when
  // the whole message was handed over, a non-zero status otherwise (nothing of it is sent then).
  virtual int32_t Send(const uint8_t* data, size_t size) = 0;

  // Delivery after Send has returned, as MidiPort describes it: bytes still on the way, the first
  // failure met after a send returned (already logged by the backend), dropping what is queued
  // behind the message now leaving, and the count of losses the service may have hidden.
  virtual uint64_t PendingBytes() { return 0; }
  virtual int32_t DeliveryError() { return 0; }
  virtual void DropPending() {}
  virtual uint64_t DeliveryWarnings() { return 0; }
};

}  // namespace midiflash
