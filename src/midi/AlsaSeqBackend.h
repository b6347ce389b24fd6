// MIDI output through the ALSA sequencer: one client with one readable port. Messages go
// straight to the chosen destination's address, without a subscription, delivered at once.
#pragma once

#include <alsa/asoundlib.h>

#include <string>
#include <vector>

#include "MidiBackend.h"

namespace midiflash {

class AlsaSeqBackend final : public MidiBackend {
 public:
  AlsaSeqBackend() = default;
  ~AlsaSeqBackend() override;
  AlsaSeqBackend(const AlsaSeqBackend&) = delete;
  AlsaSeqBackend& operator=(const AlsaSeqBackend&) = delete;

  // Opens the sequencer and names the client. Returns 0 or ALSA's negative errno.
  int32_t CreateClient(const char* name) override;
  // Returns 0 or ALSA's negative errno.
  int32_t CreateOutputPort(const char* name) override;

  // Destinations are the ports of other clients that accept writes and write subscriptions,
  // named "client name:port name" as ALSA's own tools show them.
  uint64_t DestinationCount() override;
  int32_t DestinationName(uint64_t index, std::string* name) override;
  void OpenDestination(int64_t index) override;
  // Fails with -ENODEV (no client, port or target), -ENOENT (target port gone), -EINVAL (empty),
  // -ETIMEDOUT (sequencer still busy after about a second) or ALSA's own negative errno.
  int32_t Send(const uint8_t* data, size_t size) override;

 private:
  struct Destination {
    snd_seq_addr_t address;
    std::string name;
  };

  std::vector<Destination> Destinations();
  // Grows the kernel output pool so that a `size`-byte message fits. Returns 0 or an errno.
  int GrowPoolFor(size_t size);
  int OutputWithinDeadline(snd_seq_event_t* event);

  snd_seq_t* seq_ = nullptr;
  int client_id_ = -1;
  int port_ = -1;
  bool has_target_ = false;
  snd_seq_addr_t target_{};
  size_t pool_cells_ = 0;
};

}  // namespace midiflash
