#include "RecordingClient.h"

#include <jack/midiport.h>

#include <thread>

namespace midiflash::testing {
namespace {

struct RecordHeader {
  uint32_t size, frame;
  jack_time_t usecs;
};

}  // namespace

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

RecordingClient::RecordingClient(const std::string& client_name, const std::string& port_name)
    : ring_(16 * 1024 * 1024) {  // a second of a saturated 128-frame port
  jack_client_t* client = jack_client_open(client_name.c_str(), JackNoStartServer, nullptr);
  if (client == nullptr) return;
  jack_port_t* port =
      jack_port_register(client, port_name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (port == nullptr || jack_set_process_callback(client, Process, this) != 0) {
    jack_client_close(client);
    return;
  }
  full_port_name_ = jack_port_name(port);
  port_.store(port);
  client_.store(client);
  if (jack_activate(client) != 0) Close();
}

int RecordingClient::Process(jack_nframes_t nframes, void* arg) {
  auto* self = static_cast<RecordingClient*>(arg);
  jack_port_t* port = self->port_.load();
  jack_client_t* client = self->client_.load();
  if (port == nullptr || client == nullptr) return 0;
  void* buffer = jack_port_get_buffer(port, nframes);
  const jack_nframes_t cycle_start = jack_last_frame_time(client);
  const jack_time_t now = jack_get_time();
  jack_midi_event_t event;
  for (uint32_t i = 0; jack_midi_event_get(&event, buffer, i) == 0; ++i) {
    const RecordHeader header{static_cast<uint32_t>(event.size), cycle_start + event.time, now};
    if (!self->ring_.Write(&header, sizeof header, event.buffer, event.size)) ++self->overflows_;
  }
  if (self->stall_cycles_.load() > 0) {
    --self->stall_cycles_;
    std::this_thread::sleep_for(std::chrono::microseconds(self->stall_usecs_.load()));
  }
  return 0;
}

size_t RecordingClient::Drain() const {
  for (RecordHeader h; ring_.Read(&h, sizeof h);) {
    messages_.push_back({std::vector<uint8_t>(h.size), h.frame, h.usecs});
    ring_.Read(messages_.back().bytes.data(), h.size);
  }
  return messages_.size();
}

std::vector<RecordingClient::Message> RecordingClient::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Drain();
  return messages_;
}

size_t RecordingClient::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Drain();
}

void RecordingClient::Close() {
  if (jack_client_t* client = client_.exchange(nullptr)) {
    jack_deactivate(client);
    jack_client_close(client);
  }
}

}  // namespace midiflash::testing
