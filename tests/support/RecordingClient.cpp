#include "RecordingClient.h"

#include <jack/midiport.h>

#include <algorithm>
#include <thread>

namespace midiflash::testing {
namespace {

struct RecordHeader {
  uint32_t size, frame;
  jack_time_t usecs;
};

// What a device that answers as `answer` sends for a request.
std::vector<std::vector<uint8_t>> Reply(RecordingClient::Answer answer, bool updated) {
  const std::vector<uint8_t> reply = {
      0xF0, 0x7E, 0x10, 0x06, 0x02, 0x7D, 0x12, 0x00, 0x34, 0x01, 0x01, 0x00, uint8_t(updated),
      0x00, 0xF7};
  if (answer == RecordingClient::Answer::kLate) return {reply};
  if (answer != RecordingClient::Answer::kAnswer) return {};
  return {{reply.begin(), reply.begin() + 4},
          {0x02, 0x7D, 0xF8, 0x12, 0x00, 0x34},
          {reply.begin() + 9, reply.end()}};
}

}  // namespace

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  for (const auto end = std::chrono::steady_clock::now() + timeout;
       !done() && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

void RecordingClient::Open(const std::string& client_name) {
  jack_client_t* client = jack_client_open(client_name.c_str(), JackNoStartServer, nullptr);
  if (client == nullptr) return;
  const auto add = [&](const char* name, unsigned long flags) {
    return jack_port_register(client, name, JACK_DEFAULT_MIDI_TYPE, flags, 0);
  };
  jack_port_t* port = add(port_name_.c_str(), JackPortIsInput);
  jack_port_t* out = answer_ == Answer::kOff ? nullptr : add("output", JackPortIsOutput);
  if (port == nullptr || (answer_ != Answer::kOff && out == nullptr) ||
      jack_set_process_callback(client, Process, this) != 0) {
    jack_client_close(client);
    return;
  }
  full_port_name_ = jack_port_name(port);
  port_ = port, out_port_ = out, client_ = client;
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
  static constexpr uint8_t kRequest[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  jack_midi_event_t event;
  for (uint32_t i = 0; jack_midi_event_get(&event, buffer, i) == 0; ++i) {
    const RecordHeader header{static_cast<uint32_t>(event.size), cycle_start + event.time, now};
    if (!self->ring_.Write(&header, sizeof header, event.buffer, event.size)) ++self->overflows_;
    if (event.size != sizeof kRequest || !std::equal(kRequest, std::end(kRequest), event.buffer)) {
      self->updated_ = true;
    } else if (self->answer_at_ == 0) {
      self->answer_at_ = now + (self->answer_ == Answer::kLate ? 1500000 : 1);
    }
  }
  if (jack_port_t* out = self->out_port_.load()) {
    void* out_buffer = jack_port_get_buffer(out, nframes);
    jack_midi_clear_buffer(out_buffer);
    if (self->answer_at_ != 0 && now >= self->answer_at_) {
      self->answer_at_ = 0;
      for (const auto& e : Reply(self->answer_, self->updated_)) {
        jack_midi_event_write(out_buffer, 0, e.data(), e.size());
      }
    }
  }
  if (self->stall_cycles_.load() > 0) {
    --self->stall_cycles_;
    std::this_thread::sleep_for(std::chrono::microseconds(self->stall_usecs_.load()));
  }
  return 0;
}

std::vector<RecordingClient::Message> RecordingClient::Messages() const {
  Count();
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

size_t RecordingClient::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (RecordHeader h; ring_.Read(&h, sizeof h);) {
    messages_.push_back({std::vector<uint8_t>(h.size), h.frame, h.usecs});
    ring_.Read(messages_.back().bytes.data(), h.size);
  }
  return messages_.size();
}

void RecordingClient::Close() {
  if (jack_client_t* client = client_.exchange(nullptr)) {
    jack_deactivate(client);
    jack_client_close(client);
  }
}

}  // namespace midiflash::testing
