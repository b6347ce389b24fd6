#include "MidiService.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "AlsaSeqBackend.h"
#include "JackBackend.h"
#include "Log.h"

namespace midiflash {
namespace {

constexpr const char* kClientName = "outputClient";
constexpr const char* kPortName = "outputPortName";

// No MIDI service could be reached.
class NoMidiOutput final : public MidiOutput {
 public:
  const char* ServiceName() const override { return "none"; }
  std::vector<MidiDestination> ListDestinations() override { return {}; }
  int32_t OpenDestination(const std::string&) override { return -ENODEV; }
  void SetDestinationsChanged(std::function<void()>) override {}
  uint64_t LargestMessage(const std::string&) override { return 0; }
  int32_t Send(const uint8_t*, size_t) override { return -ENODEV; }
  uint64_t PendingBytes() override { return 0; }
  int32_t DeliveryError() override { return 0; }
  void DropPending() override {}
  uint64_t DeliveryWarnings() override { return 0; }
};

// Opens a client on one service and its port. Returns the client's status; on success `out` holds
// the output (kept even when the port failed: the list still works and sends fail with a status).
template <typename Backend>
int32_t TryService(std::unique_ptr<MidiOutput>& out) {
  auto backend = std::make_unique<Backend>();
  const int32_t status = backend->CreateClient(kClientName);
  if (status != 0) return status;
  if (const int32_t port = backend->CreateOutputPort(kPortName)) {
    LogLine("MIDIOutputPortCreate err = %d", port);
  }
  out = std::move(backend);
  return 0;
}

}  // namespace

std::unique_ptr<MidiOutput> OpenMidiOutput() {
  const char* forced = std::getenv("MIDIFLASH_MIDI_API");
  const bool only_alsa = forced != nullptr && std::strcmp(forced, "alsa") == 0;
  const bool only_jack = forced != nullptr && std::strcmp(forced, "jack") == 0;
  std::unique_ptr<MidiOutput> out;
  int32_t status = -ENODEV;
  if (!only_jack) status = TryService<AlsaSeqBackend>(out);
  if (!out && !only_alsa) status = TryService<JackBackend>(out);
  if (out) return out;
  LogLine("MIDIClientCreate err = %d", status);
  return std::make_unique<NoMidiOutput>();
}

}  // namespace midiflash
