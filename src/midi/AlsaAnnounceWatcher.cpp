#include "AlsaAnnounceWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace midiflash {

std::string AlsaAddressId(const snd_seq_addr_t& address) {
  return std::to_string(address.client) + ":" + std::to_string(address.port);
}

bool ParseAlsaAddressId(const std::string& id, snd_seq_addr_t* address) {
  unsigned client = 0, port = 0;
  int used = 0;
  if (std::sscanf(id.c_str(), "%3u:%3u%n", &client, &port, &used) != 2) return false;
  if (static_cast<size_t>(used) != id.size() || client > 255 || port > 255) return false;
  address->client = static_cast<unsigned char>(client);
  address->port = static_cast<unsigned char>(port);
  return true;
}

AlsaAnnounceWatcher::~AlsaAnnounceWatcher() {
  Stop();
}

int AlsaAnnounceWatcher::Start(const char* name, Changed changed, Received received) {
  if (thread_.joinable()) return 0;
  int err = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
  if (err < 0) {
    seq_ = nullptr;
    return err;
  }
  snd_seq_set_client_name(seq_, name);
  // Not exported: the port must never show up as a destination, ours or anyone's.
  const int port = snd_seq_create_simple_port(seq_, "announce",
                                              SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                              SND_SEQ_PORT_TYPE_APPLICATION);
  err = port < 0
            ? port
            : snd_seq_connect_from(seq_, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
  if (err >= 0) {
    // Hidden as well; we subscribe it to a device's port ourselves, which needs no permission.
    replies_port_ = snd_seq_create_simple_port(seq_, "replies",
                                               SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                               SND_SEQ_PORT_TYPE_APPLICATION);
    if (replies_port_ < 0) err = replies_port_;
  }
  if (err >= 0) err = snd_midi_event_new(256, &decoder_);
  if (err >= 0) {
    // Whole messages each time: running status would leave data bytes without their status.
    snd_midi_event_no_status(decoder_, 1);
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    if (stop_fd_ < 0) err = -errno;
  }
  if (err < 0) {
    if (decoder_ != nullptr) snd_midi_event_free(decoder_);
    decoder_ = nullptr;
    snd_seq_close(seq_);
    seq_ = nullptr;
    return err;
  }
  changed_ = std::move(changed);
  received_ = std::move(received);
  thread_ = std::thread([this] { Run(); });
  return 0;
}

void AlsaAnnounceWatcher::Stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    // The thread polls this descriptor with the sequencer's; a failed write still ends it at
    // its next timeout.
    (void)!write(stop_fd_, &one, sizeof one);
    thread_.join();
  }
  if (stop_fd_ >= 0) close(stop_fd_);
  stop_fd_ = -1;
  if (seq_ != nullptr) snd_seq_close(seq_);
  seq_ = nullptr;
  if (decoder_ != nullptr) snd_midi_event_free(decoder_);
  decoder_ = nullptr;
  listening_ = false;
}

int AlsaAnnounceWatcher::Listen(const snd_seq_addr_t* source) {
  std::lock_guard<std::mutex> lock(seq_mutex_);
  if (seq_ == nullptr) return -ENODEV;
  if (listening_) {
    snd_seq_disconnect_from(seq_, replies_port_, listened_.client, listened_.port);
    listening_ = false;
  }
  if (source == nullptr) return 0;
  const int err = snd_seq_connect_from(seq_, replies_port_, source->client, source->port);
  if (err < 0) return err;
  listening_ = true;
  listened_ = *source;
  snd_midi_event_reset_decode(decoder_);
  return 0;
}

void AlsaAnnounceWatcher::Decode(const snd_seq_event_t* ev, std::vector<uint8_t>& out) {
  // What a source sent before we stopped listening may still stand in our input.
  if (!listening_ || ev->source.client != listened_.client || ev->source.port != listened_.port) {
    return;
  }
  if (ev->type == SND_SEQ_EVENT_SYSEX) {
    const auto* data = static_cast<const uint8_t*>(ev->data.ext.ptr);
    out.insert(out.end(), data, data + ev->data.ext.len);
    return;
  }
  unsigned char bytes[16];
  const long n = snd_midi_event_decode(decoder_, bytes, sizeof bytes, ev);
  if (n > 0) out.insert(out.end(), bytes, bytes + n);
}

void AlsaAnnounceWatcher::Run() {
  const int n = snd_seq_poll_descriptors_count(seq_, POLLIN);
  std::vector<pollfd> fds(static_cast<size_t>(n > 0 ? n : 0) + 1);
  fds[0] = {stop_fd_, POLLIN, 0};
  snd_seq_poll_descriptors(seq_, fds.data() + 1, static_cast<unsigned>(fds.size() - 1), POLLIN);
  for (;;) {
    // The timeout only bounds how long a lost stop write can keep the thread.
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    bool changed = false;
    std::vector<snd_seq_addr_t> exited;
    std::vector<uint8_t> bytes;
    {
      std::lock_guard<std::mutex> lock(seq_mutex_);
      for (;;) {
        snd_seq_event_t* ev = nullptr;
        const int err = snd_seq_event_input(seq_, &ev);
        if (err == -ENOSPC) {
          changed = true;  // the kernel dropped events for us; any might have mattered
          continue;
        }
        if (err < 0 || ev == nullptr) break;
        if (ev->dest.port == replies_port_) {
          Decode(ev, bytes);
          continue;
        }
        if (ev->type == SND_SEQ_EVENT_PORT_EXIT) exited.push_back(ev->data.addr);
        if (ev->type == SND_SEQ_EVENT_CLIENT_EXIT)
          exited.push_back({ev->data.addr.client, kEveryPort});
        changed = changed ||
                  (ev->type >= SND_SEQ_EVENT_CLIENT_START && ev->type <= SND_SEQ_EVENT_PORT_CHANGE);
      }
    }
    // Outside the lock: Listen must not wait for what the functions do.
    if (!bytes.empty()) received_(bytes.data(), bytes.size());
    if (changed) changed_(exited);
  }
}

}  // namespace midiflash
