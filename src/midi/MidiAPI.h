// The program's MIDI output: one client "outputClient" with one output port "outputPortName" on
// the ALSA sequencer or on JACK, a list of destinations, and sends to the chosen one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "MidiBackend.h"
#include "MidiPort.h"

namespace midiflash {

class MidiAPI final : public MidiPort {
 public:
  // Registers the client and creates its port. MIDIFLASH_MIDI_API=alsa or =jack forces a
  // service; otherwise the ALSA sequencer when it opens, else a running JACK server (never
  // started for us). Failures are logged as "MIDIClientCreate err = %d" or
  // "MIDIOutputPortCreate err = %d"; the object is usable either way, and without a client it
  // has no destinations and every send fails.
  MidiAPI();
  ~MidiAPI() override;
  MidiAPI(const MidiAPI&) = delete;
  MidiAPI& operator=(const MidiAPI&) = delete;

  // Which service the client lives on: "alsa", "jack", or "none".
  const char* ServiceName() const { return service_; }

  uint64_t MidiOutDeviceNumber() override;
  // For an index with no destination, logs "MIDIObjectGetStringProperty err = %d" and returns
  // "(null)".
  std::string MidiOutDeviceName(uint64_t index) override;
  // Opens the destination listed at `index` now; an index outside the list leaves none open.
  void MidiOutDeviceOpen(int64_t index) override;
  std::vector<MidiDestination> MidiOutDevices() override;
  // A failure is logged as "MIDIPortConnect err = %d" (-ENOENT when the device is gone).
  int32_t MidiOutDeviceOpenId(const std::string& id) override;
  void SetDestinationsChanged(std::function<void()> changed) override;
  // Two bytes for statuses 0xC0..0xDF, three otherwise. Returns 0 or a non-zero status, logged
  // as "MIDISend err = %d".
  int32_t SendShortMessage(uint8_t status, uint8_t d2nd, uint8_t d3rd) override;
  // Sends the bytes unchanged as one message (no F7 is added or required). Returns 0 when the
  // whole message was handed to the service; a non-zero status otherwise, logged as
  // "MIDISend err = %d" (nothing of a refused message is sent).
  int32_t SendLongMessage(const uint8_t* data, uint64_t size) override;
  uint64_t LargestMessage() override { return backend_ ? backend_->LargestMessage() : UINT64_MAX; }
  uint64_t PendingBytes() override { return backend_ ? backend_->PendingBytes() : 0; }
  int32_t DeliveryError() override { return backend_ ? backend_->DeliveryError() : 0; }
  void DropPending() override {
    if (backend_) backend_->DropPending();
  }
  uint64_t DeliveryWarnings() override { return backend_ ? backend_->DeliveryWarnings() : 0; }

 private:
  std::unique_ptr<MidiBackend> backend_;
  const char* service_ = "none";
};

}  // namespace midiflash
