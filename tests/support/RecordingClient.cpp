#include "RecordingClient.h"

#include <jack/midiport.h>

namespace midiflash::testing {
namespace {

constexpr size_t kRingBytes = 16 * 1024 * 1024;  // a second of a saturated 128-frame port

struct RecordHeader {
  uint32_t size;
  uint32_t frame;
  jack_time_t usecs;
};

}  // namespace

RecordingClient::RecordingClient(const std::string& client_name, const std::string& port_name)
    : ring_(kRingBytes) {
  jack_status_t status{};
  jack_client_t* client = jack_client_open(client_name.c_str(), JackNoStartServer, &status);
  if (client == nullptr) return;
  jack_port_t* port =
      jack_port_register(client, port_name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (port == nullptr || jack_set_process_callback(client, Process, this) != 0) {
    jack_client_close(client);
    return;
  }
  client_.store(client);
  port_.store(port);
  full_port_name_ = jack_port_name(port);
  reader_ = std::thread([this] {
    while (!stop_.load()) {
      Drain();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    Drain();
  });
  if (jack_activate(client) != 0) Close();
}

int RecordingClient::Process(jack_nframes_t nframes, void* arg) {
  auto* self = static_cast<RecordingClient*>(arg);
  jack_port_t* port = self->port_.load(std::memory_order_acquire);
  jack_client_t* client = self->client_.load(std::memory_order_acquire);
  if (port == nullptr || client == nullptr) return 0;
  void* buffer = jack_port_get_buffer(port, nframes);
  const jack_nframes_t cycle_start = jack_last_frame_time(client);
  const jack_time_t now = jack_get_time();
  jack_midi_event_t event;
  for (uint32_t i = 0; i < jack_midi_get_event_count(buffer); ++i) {
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    const RecordHeader header{static_cast<uint32_t>(event.size), cycle_start + event.time, now};
    if (!self->ring_.Write(&header, sizeof header, event.buffer, event.size)) ++self->overflows_;
  }
  if (self->stall_cycles_.load() > 0) {
    --self->stall_cycles_;
    std::this_thread::sleep_for(std::chrono::microseconds(self->stall_usecs_.load()));
  }
  return 0;
}

void RecordingClient::Stall(int cycles, std::chrono::microseconds each) {
  stall_usecs_.store(each.count());
  stall_cycles_.store(cycles);
}

void RecordingClient::Drain() {
  RecordHeader header;
  while (ring_.Read(&header, sizeof header)) {
    Message m{std::vector<uint8_t>(header.size), header.frame, header.usecs};
    ring_.Read(m.bytes.data(), header.size);
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(m));
    arrived_.notify_all();
  }
}

void RecordingClient::Close() {
  if (jack_client_t* client = client_.exchange(nullptr)) {
    jack_deactivate(client);
    jack_client_close(client);
  }
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
}

std::vector<RecordingClient::Message> RecordingClient::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

size_t RecordingClient::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_.size();
}

bool RecordingClient::WaitForCount(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return messages_.size() >= n; });
}

}  // namespace midiflash::testing
