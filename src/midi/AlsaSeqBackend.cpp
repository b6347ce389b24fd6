#include "AlsaSeqBackend.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>

namespace midiflash {
namespace {

constexpr unsigned kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
// The kernel refuses output pools above this many cells.
constexpr size_t kMaxPoolCells = 2000;
constexpr auto kMaxWait = std::chrono::seconds(1);

// alsa-lib prints its own diagnostics to stderr; the program reports failures through its log.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Channel messages travel as the sequencer's typed events, which every destination understands
// (a synth client ignores note bytes wrapped in a System Exclusive event). Returns false for
// anything that is not one complete channel message.
bool EncodeChannelMessage(const uint8_t* data, size_t size, snd_seq_event_t* ev) {
  if (size < 2 || size > 3 || data[0] < 0x80 || data[0] >= 0xF0) return false;
  const uint8_t kind = data[0] & 0xF0;
  const size_t expected = (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
  if (size != expected) return false;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] & 0x80) return false;
  }
  const uint8_t ch = data[0] & 0x0F;
  switch (kind) {
    case 0x80:
      snd_seq_ev_set_noteoff(ev, ch, data[1], data[2]);
      break;
    case 0x90:
      snd_seq_ev_set_noteon(ev, ch, data[1], data[2]);
      break;
    case 0xA0:
      snd_seq_ev_set_keypress(ev, ch, data[1], data[2]);
      break;
    case 0xB0:
      snd_seq_ev_set_controller(ev, ch, data[1], data[2]);
      break;
    case 0xC0:
      snd_seq_ev_set_pgmchange(ev, ch, data[1]);
      break;
    case 0xD0:
      snd_seq_ev_set_chanpress(ev, ch, data[1]);
      break;
    default:
      snd_seq_ev_set_pitchbend(ev, ch, ((data[2] << 7) | data[1]) - 8192);
      break;
  }
  return true;
}

}  // namespace

AlsaSeqBackend::~AlsaSeqBackend() {
  if (seq_ != nullptr) snd_seq_close(seq_);
}

int32_t AlsaSeqBackend::CreateClient(const char* name) {
  snd_lib_error_set_handler(SilentAlsaError);
  // Non-blocking, so that a send can give up after a bounded wait instead of hanging.
  int err = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK);
  if (err < 0) {
    seq_ = nullptr;
    return err;
  }
  err = snd_seq_set_client_name(seq_, name);
  if (err < 0) {
    snd_seq_close(seq_);
    seq_ = nullptr;
    return err;
  }
  client_id_ = snd_seq_client_id(seq_);
  return 0;
}

int32_t AlsaSeqBackend::CreateOutputPort(const char* name) {
  if (seq_ == nullptr) return -ENODEV;
  int port =
      snd_seq_create_simple_port(seq_, name, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (port < 0) return port;
  port_ = port;
  return 0;
}

std::vector<AlsaSeqBackend::Destination> AlsaSeqBackend::Destinations() {
  std::vector<Destination> list;
  if (seq_ == nullptr) return list;
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq_, client) >= 0) {
    const int id = snd_seq_client_info_get_client(client);
    // Client 0 holds the sequencer's own timer and announce ports, never a MIDI device.
    if (id == client_id_ || id == SND_SEQ_CLIENT_SYSTEM) continue;
    snd_seq_port_info_set_client(port, id);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq_, port) >= 0) {
      const unsigned caps = snd_seq_port_info_get_capability(port);
      if ((caps & kDestinationCaps) != kDestinationCaps || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) {
        continue;
      }
      Destination d;
      d.address = *snd_seq_port_info_get_addr(port);
      d.name = std::string(snd_seq_client_info_get_name(client)) + ":" +
               snd_seq_port_info_get_name(port);
      list.push_back(std::move(d));
    }
  }
  return list;
}

uint64_t AlsaSeqBackend::DestinationCount() {
  return Destinations().size();
}

int32_t AlsaSeqBackend::DestinationName(uint64_t index, std::string* name) {
  std::vector<Destination> list = Destinations();
  if (index >= list.size()) return -ENOENT;
  *name = list[index].name;
  return 0;
}

void AlsaSeqBackend::OpenDestination(int64_t index) {
  has_target_ = false;
  std::vector<Destination> list = Destinations();
  if (index < 0 || static_cast<uint64_t>(index) >= list.size()) return;
  target_ = list[static_cast<size_t>(index)].address;
  has_target_ = true;
}

int AlsaSeqBackend::GrowPoolFor(size_t size) {
  // A variable-length event takes one cell for its header and one more per event-sized chunk
  // of data; leave room for a second message still in flight.
  const size_t needed = 2 * (2 + (size + sizeof(snd_seq_event_t) - 1) / sizeof(snd_seq_event_t));
  if (pool_cells_ == 0) {
    snd_seq_client_pool_t* pool;
    snd_seq_client_pool_alloca(&pool);
    int err = snd_seq_get_client_pool(seq_, pool);
    if (err < 0) return err;
    pool_cells_ = snd_seq_client_pool_get_output_pool(pool);
  }
  if (needed <= pool_cells_) return 0;
  const size_t cells = std::min(needed, kMaxPoolCells);
  int err = snd_seq_set_client_pool_output(seq_, cells);
  if (err < 0) return err;
  pool_cells_ = cells;
  return 0;
}

int AlsaSeqBackend::OutputWithinDeadline(snd_seq_event_t* event) {
  const auto deadline = std::chrono::steady_clock::now() + kMaxWait;
  for (;;) {
    int err = snd_seq_event_output_direct(seq_, event);
    if (err >= 0) return 0;
    if (err != -EAGAIN) return err;
    if (std::chrono::steady_clock::now() > deadline) return -ETIMEDOUT;
    struct pollfd fds[4];
    int n = snd_seq_poll_descriptors(seq_, fds, 4, POLLOUT);
    poll(fds, n > 0 ? n : 0, 10);
  }
}

int32_t AlsaSeqBackend::Send(const uint8_t* data, size_t size) {
  if (seq_ == nullptr || port_ < 0 || !has_target_) return -ENODEV;
  if (data == nullptr || size == 0) return -EINVAL;
  snd_seq_port_info_t* info;
  snd_seq_port_info_alloca(&info);
  if (snd_seq_get_any_port_info(seq_, target_.client, target_.port, info) < 0) return -ENOENT;

  snd_seq_event_t ev;
  snd_seq_ev_clear(&ev);
  snd_seq_ev_set_source(&ev, port_);
  snd_seq_ev_set_dest(&ev, target_.client, target_.port);
  snd_seq_ev_set_direct(&ev);
  if (!EncodeChannelMessage(data, size, &ev)) {
    // Everything else (System Exclusive, escape data without F7) leaves as raw bytes.
    int err = GrowPoolFor(size);
    if (err < 0) return err;
    snd_seq_ev_set_sysex(&ev, size, const_cast<uint8_t*>(data));
  }
  return OutputWithinDeadline(&ev);
}

}  // namespace midiflash
