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
  return MidiOutDevices().size();
}

std::string MidiAPI::MidiOutDeviceName(uint64_t index) {
  const std::vector<MidiDestination> list = MidiOutDevices();
  if (index >= list.size()) {
    LogLine("MIDIObjectGetStringProperty err = %d", backend_ ? -ENOENT : -ENODEV);
    return "(null)";
  }
  return list[index].name;
}

void MidiAPI::MidiOutDeviceOpen(int64_t index) {
  const std::vector<MidiDestination> list = MidiOutDevices();
  const bool listed = index >= 0 && static_cast<uint64_t>(index) < list.size();
  // An empty identity leaves no destination open.
  if (backend_) backend_->OpenDestination(listed ? list[static_cast<size_t>(index)].id : "");
}

std::vector<MidiDestination> MidiAPI::MidiOutDevices() {
  return backend_ ? backend_->ListDestinations() : std::vector<MidiDestination>{};
}

int32_t MidiAPI::MidiOutDeviceOpenId(const std::string& id) {
  const int32_t status = backend_ ? backend_->OpenDestination(id) : -ENODEV;
  if (status != 0) LogLine("MIDIPortConnect err = %d", status);
  return status;
}

void MidiAPI::SetDestinationsChanged(std::function<void()> changed) {
  if (backend_) backend_->SetDestinationsChanged(std::move(changed));
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
