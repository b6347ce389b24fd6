#include "JackBackend.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace midiflash {
namespace {

using Clock = std::chrono::steady_clock;

// How long a send may wait for room in the ring, and OpenDestination for the ring to empty.
constexpr auto kMaxWait = std::chrono::seconds(1);
// Room for many cycles' worth of messages, so that a burst rarely has to wait.
constexpr size_t kMinRingBytes = 256 * 1024;
constexpr int kRingMultiple = 8;

// libjack prints its own diagnostics to stderr; the program reports failures through its log.
void SilentJackMessage(const char*) {}

}  // namespace

JackBackend::~JackBackend() {
  if (client_ == nullptr) return;
  if (active_.load() && !shut_down_.load()) {
    // Messages still queued would be lost with the client: a program that ends right after its
    // last send must still deliver it.
    WaitUntilSent();
    jack_deactivate(client_);
  }
  jack_client_close(client_);
}

int32_t JackBackend::CreateClient(const char* name) {
  jack_set_error_function(SilentJackMessage);
  jack_set_info_function(SilentJackMessage);
  jack_status_t status{};
  client_ = jack_client_open(name, JackNoStartServer, &status);
  if (client_ == nullptr) return status != 0 ? static_cast<int32_t>(status) : -ENODEV;
  jack_on_shutdown(client_, OnShutdown, this);
  return 0;
}

int32_t JackBackend::CreateOutputPort(const char* name) {
  if (client_ == nullptr) return -ENODEV;
  size_t port_bytes = jack_port_type_get_buffer_size(client_, JACK_DEFAULT_MIDI_TYPE);
  ring_ = std::make_unique<SpscByteRing>(std::max(kMinRingBytes, kRingMultiple * port_bytes));
  jack_port_t* port =
      jack_port_register(client_, name, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (port == nullptr) return -EIO;
  port_.store(port);
  int err = jack_set_process_callback(client_, Process, this);
  if (err != 0) return err;
  err = jack_activate(client_);
  if (err != 0) return err;
  active_.store(true);
  // The first cycle measures the largest event; sends need it to refuse oversized messages.
  WaitForCycles(1);
  return 0;
}

int JackBackend::Process(jack_nframes_t nframes, void* arg) {
  auto* self = static_cast<JackBackend*>(arg);
  jack_port_t* port = self->port_.load(std::memory_order_acquire);
  if (port == nullptr) return 0;
  void* buffer = jack_port_get_buffer(port, nframes);
  jack_midi_clear_buffer(buffer);
  if (self->max_event_size_.load(std::memory_order_relaxed) == 0) {
    self->max_event_size_.store(jack_midi_max_event_size(buffer), std::memory_order_release);
  }
  SpscByteRing& ring = *self->ring_;
  uint32_t length = 0;
  while (ring.Peek(&length, sizeof length) && ring.ReadSpace() >= sizeof length + length) {
    // A message that does not fit what is left of this cycle stays queued for the next one.
    jack_midi_data_t* slot = jack_midi_event_reserve(buffer, 0, length);
    if (slot == nullptr) break;
    ring.Read(&length, sizeof length);
    ring.Read(slot, length);
  }
  self->cycles_.fetch_add(1, std::memory_order_release);
  return 0;
}

void JackBackend::OnShutdown(void* arg) {
  static_cast<JackBackend*>(arg)->shut_down_.store(true);
}

bool JackBackend::WaitForCycles(uint64_t cycles) {
  if (!active_.load()) return false;
  uint64_t goal = cycles_.load(std::memory_order_acquire) + cycles;
  auto deadline = Clock::now() + kMaxWait;
  while (cycles_.load(std::memory_order_acquire) < goal) {
    if (shut_down_.load() || Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void JackBackend::WaitUntilSent() {
  if (ring_ == nullptr || !active_.load()) return;
  auto deadline = Clock::now() + kMaxWait;
  while (ring_->WriteSpace() < ring_->capacity()) {
    if (shut_down_.load() || Clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // The last message is in the port buffer of the cycle that read it; let that cycle finish.
  WaitForCycles(1);
}

std::vector<std::string> JackBackend::Destinations() {
  std::vector<std::string> names;
  if (client_ == nullptr || shut_down_.load()) return names;
  const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  if (ports == nullptr) return names;
  for (const char** p = ports; *p != nullptr; ++p) {
    jack_port_t* port = jack_port_by_name(client_, *p);
    if (port != nullptr && jack_port_is_mine(client_, port)) continue;
    names.emplace_back(*p);
  }
  jack_free(ports);
  return names;
}

uint64_t JackBackend::DestinationCount() {
  return Destinations().size();
}

int32_t JackBackend::DestinationName(uint64_t index, std::string* name) {
  std::vector<std::string> names = Destinations();
  if (index >= names.size()) return -ENOENT;
  *name = names[index];
  return 0;
}

void JackBackend::OpenDestination(int64_t index) {
  jack_port_t* port = port_.load();
  if (client_ == nullptr || port == nullptr || shut_down_.load()) return;
  WaitUntilSent();
  jack_port_disconnect(client_, port);
  target_.clear();
  std::vector<std::string> names = Destinations();
  if (index < 0 || static_cast<uint64_t>(index) >= names.size()) return;
  target_ = names[static_cast<size_t>(index)];
  // A failed connect is not reported here: the next send finds the port unconnected and fails.
  if (jack_connect(client_, jack_port_name(port), target_.c_str()) != 0) return;
  // The server publishes a new connection with the next graph change; until then the port still
  // reads as unconnected and a send would be refused.
  const auto deadline = Clock::now() + kMaxWait;
  while (!jack_port_connected_to(port, target_.c_str())) {
    if (shut_down_.load() || Clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

int32_t JackBackend::Send(const uint8_t* data, size_t size) {
  jack_port_t* port = port_.load();
  if (client_ == nullptr || port == nullptr || !active_.load()) return -ENODEV;
  if (shut_down_.load()) return -ESHUTDOWN;
  if (target_.empty()) return -ENODEV;
  if (data == nullptr || size == 0) return -EINVAL;
  if (max_event_size_.load(std::memory_order_acquire) == 0 && !WaitForCycles(1)) {
    return shut_down_.load() ? -ESHUTDOWN : -ETIMEDOUT;
  }
  if (size > max_event_size_.load(std::memory_order_acquire)) return -EMSGSIZE;
  if (jack_port_by_name(client_, target_.c_str()) == nullptr) return -ENOENT;
  if (!jack_port_connected_to(port, target_.c_str())) return -ENOTCONN;

  const uint32_t length = static_cast<uint32_t>(size);
  const size_t record = sizeof length + size;
  if (record > ring_->capacity()) return -EMSGSIZE;
  // A full ring means the server is behind; wait for it rather than drop the message.
  auto deadline = Clock::now() + kMaxWait;
  while (!ring_->Write(&length, sizeof length, data, size)) {
    if (shut_down_.load()) return -ESHUTDOWN;
    if (Clock::now() > deadline) return -ETIMEDOUT;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return 0;
}

}  // namespace midiflash
