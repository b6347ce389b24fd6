#include "MidiAPI.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "AlsaSeqBackend.h"
#include "JackBackend.h"
#include "Log.h"
#include "MidiBackend.h"

namespace midiflash {
namespace {

constexpr const char* kClientName = "outputClient";
constexpr const char* kPortName = "outputPortName";

// Tries one service; on success moves it into `chosen`. Returns the client's status.
template <typename Backend>
int32_t TryService(const char* label, std::unique_ptr<MidiBackend>* chosen, const char** name) {
  auto backend = std::make_unique<Backend>();
  int32_t status = backend->CreateClient(kClientName);
  if (status == 0) {
    *chosen = std::move(backend);
    *name = label;
  }
  return status;
}

}  // namespace

MidiAPI::MidiAPI() {
  const char* forced = std::getenv("MIDIFLASH_MIDI_API");
  const bool only_alsa = forced != nullptr && std::strcmp(forced, "alsa") == 0;
  const bool only_jack = forced != nullptr && std::strcmp(forced, "jack") == 0;

  std::unique_ptr<MidiBackend> chosen;
  int32_t status = -ENODEV;
  if (!only_jack) status = TryService<AlsaSeqBackend>("alsa", &chosen, &service_);
  if (chosen == nullptr && !only_alsa) {
    status = TryService<JackBackend>("jack", &chosen, &service_);
  }
  if (chosen == nullptr) {
    LogLine("MIDIClientCreate err = %d", status);
    return;
  }
  status = chosen->CreateOutputPort(kPortName);
  if (status != 0) LogLine("MIDIOutputPortCreate err = %d", status);
  // Kept even without a port: the destination list still works and sends fail with a status.
  backend_ = std::move(chosen);
}

MidiAPI::~MidiAPI() = default;

uint64_t MidiAPI::MidiOutDeviceNumber() {
  return backend_ ? backend_->DestinationCount() : 0;
}

std::string MidiAPI::MidiOutDeviceName(uint64_t index) {
  std::string name;
  int32_t status = backend_ ? backend_->DestinationName(index, &name) : -ENODEV;
  if (status != 0) {
    LogLine("MIDIObjectGetStringProperty err = %d", status);
    return "(null)";
  }
  return name;
}

void MidiAPI::MidiOutDeviceOpen(int64_t index) {
  if (backend_) backend_->OpenDestination(index);
}

int32_t MidiAPI::SendShortMessage(uint8_t status, uint8_t d2nd, uint8_t d3rd) {
  const uint8_t bytes[3] = {status, d2nd, d3rd};
  const uint64_t size = (status >= 0xC0 && status <= 0xDF) ? 2 : 3;
  return SendLongMessage(bytes, size);
}

int32_t MidiAPI::SendLongMessage(const uint8_t* data, uint64_t size) {
  int32_t status = backend_ ? backend_->Send(data, static_cast<size_t>(size)) : -ENODEV;
  if (status != 0) LogLine("MIDISend err = %d", status);
  return status;
}

}  // namespace midiflash
