// What the core needs of a MIDI output: the destination list and the two sends.
// MidiAPI (src/midi) implements it on the ALSA sequencer or JACK; tests use a recording fake.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace midiflash {

// One listed destination. `id` names exactly this device for as long as it exists (the ALSA
// sequencer's "client:port", JACK's full port name); `name` is what the list shows.
struct MidiDestination {
  std::string id;
  std::string name;
  bool operator==(const MidiDestination&) const = default;
};

class MidiPort {
 public:
  virtual ~MidiPort() = default;

  // Number of destinations present now.
  virtual uint64_t MidiOutDeviceNumber() = 0;
  // Display name of destination `index`; always a string, also for an index outside the list.
  virtual std::string MidiOutDeviceName(uint64_t index) = 0;
  // Makes destination `index` the target of every later send. An index outside the list leaves no
  // destination, so later sends fail.
  virtual void MidiOutDeviceOpen(int64_t index) = 0;

  // The destinations present now, read at one moment, in list order: entry i is index i.
  // The default builds it from the two calls above, with the name as identity.
  virtual std::vector<MidiDestination> MidiOutDevices() {
    std::vector<MidiDestination> list;
    const uint64_t n = MidiOutDeviceNumber();
    for (uint64_t i = 0; i < n; ++i) {
      std::string name = MidiOutDeviceName(i);
      list.push_back({name, name});
    }
    return list;
  }
  // Makes the destination with identity `id` the target of every later send. Returns 0, or
  // -ENOENT when no destination has that identity now: then none is left open and later sends
  // fail. Never opens another device in its place.
  virtual int32_t MidiOutDeviceOpenId(const std::string& id) {
    const std::vector<MidiDestination> list = MidiOutDevices();
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].id == id) return MidiOutDeviceOpen(static_cast<int64_t>(i)), 0;
    }
    MidiOutDeviceOpen(-1);
    return -ENOENT;
  }
  // Asks for `changed` to be called whenever destinations may have appeared, gone away or been
  // renamed (also for changes that leave the list as it was). It is called on a thread of the
  // MIDI service, so it must only queue work for its own thread and return. An empty function
  // stops the calls; once this returns, the previous function is no longer running or called.
  virtual void SetDestinationsChanged(std::function<void()> changed) { (void)changed; }
  // Sends a channel message: two bytes for statuses 0xC0..0xDF, three otherwise.
  // Returns 0 when the whole message was handed to the service, a non-zero status otherwise.
  virtual int32_t SendShortMessage(uint8_t status, uint8_t d2nd, uint8_t d3rd) = 0;
  // Sends `size` bytes unchanged as one message. Returns 0 when sent, a non-zero status otherwise.
  virtual int32_t SendLongMessage(const uint8_t* data, uint64_t size) = 0;
  // The largest message, in bytes, that the open destination gets whole; a larger one is refused
  // by the send or would not arrive. UINT64_MAX when there is no such limit (a kernel MIDI port
  // takes any size in pieces) or nothing is open (sends fail with their own status then).
  virtual uint64_t LargestMessage() { return UINT64_MAX; }

  // Delivery after a send has returned. A backend may queue messages and hand them on later (a
  // slow device drains at the speed of its cable); these tell the workflow what is still on the
  // way. All are called on the workflow's thread and never block.
  //
  // Bytes accepted by the sends but not yet out of the computer's buffers for the destination
  // (queued, or waiting in a kernel or driver buffer the backend can see). 0 when all has left.
  virtual uint64_t PendingBytes() { return 0; }
  // The first failure met after a send had returned 0 (the destination went away, the device
  // stopped draining for 5 s, the server died), as a non-zero status already logged; 0 when none.
  // It stays until the next MidiOutDeviceOpen.
  virtual int32_t DeliveryError() { return 0; }
  // Cancel: lets the message that is leaving now finish and discards every message queued after
  // it, so that nothing more is sent. Returns at once.
  virtual void DropPending() {}
  // How many times since the latest MidiOutDeviceOpen the service may have lost messages without
  // telling the sender (a JACK cycle the server skipped or ran late). 0 when none was seen.
  virtual uint64_t DeliveryWarnings() { return 0; }
};

}  // namespace midiflash
