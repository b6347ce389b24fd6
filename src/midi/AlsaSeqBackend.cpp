#include "AlsaSeqBackend.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>

#include "Log.h"
#include "MidiWire.h"

namespace midiflash {
namespace {

constexpr unsigned kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned kSourceCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
// The kernel refuses output pools above this many cells.
constexpr size_t kMaxPoolCells = 2000;
// A user-space client's input pool unless it asked for another size
// (SNDRV_SEQ_DEFAULT_CLIENT_EVENTS).
constexpr size_t kDefaultInputCells = 200;

// The kernel's struct snd_seq_client_pool (<sound/asequencer.h>, whose other declarations clash
// with alsa-lib's). alsa-lib reads only the caller's own pools; the kernel answers for any client.
struct KernelClientPool {
  int client, output_pool, input_pool, output_room, output_free, input_free;
  char reserved[64];
};

// The input pool of user-space client `client`, in cells; 0 when it cannot be read.
size_t InputPoolCells(snd_seq_t* seq, int client) {
  pollfd pfd{};
  if (snd_seq_poll_descriptors(seq, &pfd, 1, POLLOUT) != 1) return 0;
  KernelClientPool pool{};
  pool.client = client;
  if (ioctl(pfd.fd, _IOWR('S', 0x4b, KernelClientPool), &pool) < 0 || pool.input_pool < 0) return 0;
  return static_cast<size_t>(pool.input_pool);
}
// Pieces for a kernel MIDI port: about 80 ms of cable each, handed over while at most about a
// third of a second of cable waits in the kernel, enough to ride over a late wake-up of the sender.
constexpr size_t kPieceBytes = 256;
constexpr size_t kAheadBytes = 1024;
// A destination that takes nothing for this long has stopped.
constexpr auto kNoProgressLimit = std::chrono::seconds(5);
// How long a change of destination waits for the previous one's messages, and quitting for all.
constexpr auto kChangeWait = std::chrono::seconds(1);
constexpr auto kQuitWait = std::chrono::seconds(120);
constexpr uint64_t kMaxQueuedBytes = 64ull << 20;
constexpr auto kIdlePoll = std::chrono::milliseconds(50);
constexpr auto kRoomPoll = std::chrono::milliseconds(10);
// WaitForRoom and the delivery calls return this when delivery was abandoned, not failed.
constexpr int kAbandoned = 1;

// alsa-lib prints its own diagnostics to stderr; the program reports failures through its log.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Channel messages travel as the sequencer's typed events, which every destination understands
// (a synth client ignores note bytes wrapped in a System Exclusive event). Returns false for
// anything that is not one complete channel message.
bool EncodeChannelMessage(const uint8_t* data, size_t size, snd_seq_event_t* ev) {
  if (size < 2 || size > 3 || data[0] < 0x80 || data[0] >= 0xF0) return false;
  const uint8_t kind = data[0] & 0xF0;
  if (size != ChannelMessageLength(data[0])) return false;
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

AlsaSeqBackend::AlsaSeqBackend() : queue_(kMaxQueuedBytes), cable_(kAheadBytes) {}

AlsaSeqBackend::~AlsaSeqBackend() {
  if (sender_.joinable()) {
    WaitDelivered(kQuitWait);
    stop_.store(true);
    queue_.Wake();
    state_changed_.notify_all();
    sender_.join();
  }
  if (seq_ == nullptr) return;
  if (connected_) snd_seq_disconnect_to(seq_, port_, target_.address.client, target_.address.port);
  snd_seq_close(seq_);
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
  client_name_ = name;
  return 0;
}

int32_t AlsaSeqBackend::CreateOutputPort(const char* name) {
  if (seq_ == nullptr) return -ENODEV;
  int port =
      snd_seq_create_simple_port(seq_, name, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (port < 0) return port;
  port_ = port;
  sender_ = std::thread([this] { SenderLoop(); });
  // Without the watcher the list does not follow and a destination that goes away between two
  // messages is noticed at the next one; sending works all the same.
  const int err = watcher_.Start(
      (client_name_ + " watcher").c_str(), [this](const auto& exited) { OnAnnounced(exited); },
      [this](const uint8_t* data, size_t size) { received_.Notify(data, size); });
  if (err < 0) LogLine("snd_seq_connect_from err = %d", err);
  return 0;
}

std::vector<AlsaSeqBackend::Destination> AlsaSeqBackend::Ports(unsigned caps_wanted) {
  std::vector<Destination> list;
  if (seq_ == nullptr) return list;
  std::lock_guard<std::mutex> lock(seq_mutex_);
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
      if ((caps & caps_wanted) != caps_wanted || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) {
        continue;
      }
      Destination d;
      d.address = *snd_seq_port_info_get_addr(port);
      d.listed.id = AlsaAddressId(d.address);
      d.listed.clientName = snd_seq_client_info_get_name(client);
      d.listed.portName = snd_seq_port_info_get_name(port);
      d.listed.name = d.listed.clientName + ":" + d.listed.portName;
      // Only the sequencer's own forwarding ports are kernel clients without a card.
      d.listed.passThrough = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT &&
                             snd_seq_client_info_get_card(client) < 0;
      list.push_back(std::move(d));
    }
  }
  return list;
}

std::vector<MidiDestination> AlsaSeqBackend::ListDestinations() {
  std::vector<MidiDestination> list;
  for (Destination& d : Ports(kDestinationCaps)) list.push_back(std::move(d.listed));
  return list;
}

std::vector<MidiDestination> AlsaSeqBackend::ListSources() {
  std::vector<MidiDestination> list;
  for (Destination& d : Ports(kSourceCaps)) list.push_back(std::move(d.listed));
  return list;
}

int32_t AlsaSeqBackend::OpenSource(const std::string& id) {
  if (id.empty()) return watcher_.Listen(nullptr);
  snd_seq_addr_t address{};
  bool listed = false;
  if (ParseAlsaAddressId(id, &address)) {
    for (const Destination& d : Ports(kSourceCaps)) {
      listed = listed || (d.address.client == address.client && d.address.port == address.port);
    }
  }
  if (!listed) {
    watcher_.Listen(nullptr);
    return -ENOENT;
  }
  return watcher_.Listen(&address);
}

void AlsaSeqBackend::SetReceived(std::function<void(const uint8_t*, size_t)> received) {
  received_.Set(std::move(received));
}

void AlsaSeqBackend::WaitDelivered(Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (PendingBytes() > 0 && delivery_error_.load() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(kRoomPoll);
  }
}

void AlsaSeqBackend::AbandonDelivery() {
  queue_.DropQueued();
  std::unique_lock<std::mutex> lock(state_mutex_);
  abandon_.store(true);
  state_changed_.notify_all();
  // Every wait of the sender ends within one poll once abandon_ is set.
  state_changed_.wait_for(lock, kChangeWait, [this] { return !delivering_; });
  abandon_.store(false);
}

int32_t AlsaSeqBackend::OpenDestination(const std::string& id) {
  if (seq_ == nullptr || port_ < 0) return -ENODEV;
  // Only an address that is a destination now: a port that went away, or one that takes no
  // writes, is never connected in its place.
  snd_seq_addr_t address{};
  bool listed = false;
  if (ParseAlsaAddressId(id, &address)) {
    for (const Destination& d : Ports(kDestinationCaps)) {
      listed = listed || (d.address.client == address.client && d.address.port == address.port);
    }
  }
  if (listed && connected_) {
    const snd_seq_addr_t& a = address;
    snd_seq_port_subscribe_t* sub;
    snd_seq_port_subscribe_alloca(&sub);
    const snd_seq_addr_t ours{static_cast<unsigned char>(client_id_),
                              static_cast<unsigned char>(port_)};
    snd_seq_port_subscribe_set_sender(sub, &ours);
    snd_seq_port_subscribe_set_dest(sub, &a);
    bool still = false;
    if (a.client == target_.address.client && a.port == target_.address.port) {
      std::lock_guard<std::mutex> lock(seq_mutex_);
      still = snd_seq_get_port_subscription(seq_, sub) == 0;
    }
    if (still) {
      // The same port again: reconnecting would close its device and lose what it holds.
      delivery_error_.store(0);
      return 0;
    }
  }
  // Messages already sent to the previous destination (a file's opening messages) get a moment to
  // finish; a change of destination must not hang the window for the length of a slow cable.
  WaitDelivered(kChangeWait);
  AbandonDelivery();

  Target target;
  {
    std::lock_guard<std::mutex> lock(seq_mutex_);
    if (connected_) {
      snd_seq_disconnect_to(seq_, port_, target_.address.client, target_.address.port);
    }
  }
  connected_ = false;
  has_target_ = false;
  connect_error_ = 0;
  delivery_error_.store(0);
  kernel_held_.store(0);

  int32_t status = -ENOENT;
  if (listed) {
    target.address = address;
    has_target_ = true;
    std::lock_guard<std::mutex> lock(seq_mutex_);
    const int err = snd_seq_connect_to(seq_, port_, target.address.client, target.address.port);
    if (err < 0) {
      LogLine("snd_seq_connect_to err = %d", err);
      // A kernel port answers -EAGAIN when every substream of its device is open already: another
      // program holds the device. Said as that, not as a full buffer.
      status = err == -EAGAIN ? -EBUSY : err;
      connect_error_ = status;
    } else {
      connected_ = true;
      status = 0;
      snd_seq_client_info_t* info;
      snd_seq_client_info_alloca(&info);
      if (snd_seq_get_any_client_info(seq_, target.address.client, info) >= 0 &&
          snd_seq_client_info_get_type(info) == SND_SEQ_KERNEL_CLIENT &&
          snd_seq_client_info_get_card(info) >= 0) {
        target.kernel_port = true;
        // The kernel opened the port's device just now, in this process's name.
        target.rawmidi.Find("/proc/asound", snd_seq_client_info_get_card(info), target.address.port,
                            getpid());
      }
    }
  }
  std::lock_guard<std::mutex> lock(state_mutex_);
  target_ = target;
  cable_.Reset();
  idle_last_ = RawmidiOutput();
  idle_since_ = Clock::now();
  return status;
}

uint64_t AlsaSeqBackend::LargestMessage(const std::string& id) {
  snd_seq_addr_t address{};
  if (seq_ == nullptr || !ParseAlsaAddressId(id, &address)) return UINT64_MAX;
  std::lock_guard<std::mutex> lock(seq_mutex_);
  snd_seq_client_info_t* info;
  snd_seq_client_info_alloca(&info);
  const bool known = snd_seq_get_any_client_info(seq_, address.client, info) >= 0;
  // A kernel MIDI port (a kernel client with a card) takes a message in pieces, of any size.
  if (known && snd_seq_client_info_get_type(info) == SND_SEQ_KERNEL_CLIENT &&
      snd_seq_client_info_get_card(info) >= 0) {
    return UINT64_MAX;
  }
  // A message goes whole as one variable-length event: besides its header cell it takes a cell
  // per 28 bytes (one snd_seq_event_t) of data in our output pool, and the kernel refuses one
  // that needs the whole pool; a user-space destination copies it into its input pool the same
  // way.
  size_t cells = kMaxPoolCells;
  if (!known || snd_seq_client_info_get_type(info) == SND_SEQ_USER_CLIENT) {
    const size_t input = InputPoolCells(seq_, address.client);
    cells = std::min(cells, input > 0 ? input : kDefaultInputCells);
  }
  return (cells - 1) * sizeof(snd_seq_event_t);
}

void AlsaSeqBackend::SetDestinationsChanged(std::function<void()> changed) {
  notifier_.Set(std::move(changed));
}

void AlsaSeqBackend::OnAnnounced(const std::vector<snd_seq_addr_t>& exited) {
  bool target_gone = false;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (const snd_seq_addr_t& a : exited) {
      // With no target the address is the system client's, which never exits.
      target_gone = target_gone ||
                    (a.client == target_.address.client &&
                     (a.port == AlsaAnnounceWatcher::kEveryPort || a.port == target_.address.port));
    }
  }
  // Between two messages nothing is being sent that could meet the loss: without this the run
  // would learn of it only at its next message, which may be minutes away.
  if (target_gone) Fail(-ENOENT);
  notifier_.Notify();
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

int32_t AlsaSeqBackend::Send(const uint8_t* data, size_t size) {
  if (seq_ == nullptr || port_ < 0 || !has_target_) return -ENODEV;
  if (connect_error_ != 0) return connect_error_;
  if (const int32_t err = delivery_error_.load(); err != 0) return err;
  if (data == nullptr || size == 0) return -EINVAL;
  {
    std::lock_guard<std::mutex> lock(seq_mutex_);
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_any_port_info(seq_, target_.address.client, target_.address.port, info) < 0) {
      return -ENOENT;
    }
    if (!target_.kernel_port) {
      // Whole messages: the pool must hold the largest one.
      if (int err = GrowPoolFor(size); err < 0) return err;
    }
  }
  return queue_.Push(data, size) ? 0 : -ENOBUFS;
}

uint64_t AlsaSeqBackend::PendingBytes() {
  uint64_t modelled;
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    modelled = cable_.Backlog(Clock::now());
  }
  return queue_.Unsent() + std::max(modelled, kernel_held_.load());
}

void AlsaSeqBackend::SenderLoop() {
  std::vector<uint8_t> message;
  while (!stop_.load()) {
    Target target;
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      target = target_;
    }
    if (!queue_.Take(&message, kIdlePoll)) {
      WatchDrain(target);
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      target = target_;
      delivering_ = true;
    }
    size_t left = message.size();
    const int err = target.kernel_port ? DeliverInPieces(target, message, &left)
                                       : DeliverWhole(target, message, &left);
    // What was not delivered is given up; a failure also gives up everything queued behind it,
    // since a device that missed part of the stream must not get the rest.
    queue_.MarkSent(left);
    if (err < 0) Fail(err);
    std::lock_guard<std::mutex> lock(state_mutex_);
    delivering_ = false;
    state_changed_.notify_all();
  }
}

void AlsaSeqBackend::Fail(int err) {
  int32_t none = 0;
  // The send that met it has long returned: this line is the only report besides DeliveryError.
  if (delivery_error_.compare_exchange_strong(none, err)) LogLine("MIDISend err = %d", err);
  queue_.DropQueued();
  kernel_held_.store(0);
}

bool AlsaSeqBackend::SleepUntil(Clock::time_point until) {
  std::unique_lock<std::mutex> lock(state_mutex_);
  return !state_changed_.wait_until(lock, until,
                                    [this] { return stop_.load() || abandon_.load(); });
}

int AlsaSeqBackend::OutputWithRetry(snd_seq_event_t* event) {
  const auto deadline = Clock::now() + kNoProgressLimit;
  for (;;) {
    int err;
    {
      std::lock_guard<std::mutex> lock(seq_mutex_);
      err = snd_seq_event_output_direct(seq_, event);
    }
    if (err >= 0) return 0;
    // A user-space destination whose input is full answers -EAGAIN (or -ENOMEM for its pool)
    // until it reads; anything else will not get better by waiting.
    if (err != -EAGAIN && err != -ENOMEM) return err;
    if (Clock::now() > deadline) return err == -EAGAIN ? -ETIMEDOUT : err;
    if (!SleepUntil(Clock::now() + kRoomPoll)) return kAbandoned;
  }
}

int AlsaSeqBackend::DeliverWhole(const Target& target, const std::vector<uint8_t>& message,
                                 size_t* left) {
  snd_seq_event_t ev;
  snd_seq_ev_clear(&ev);
  snd_seq_ev_set_source(&ev, port_);
  snd_seq_ev_set_dest(&ev, target.address.client, target.address.port);
  snd_seq_ev_set_direct(&ev);
  if (!EncodeChannelMessage(message.data(), message.size(), &ev)) {
    // Everything else (System Exclusive, escape data without F7) leaves as raw bytes.
    snd_seq_ev_set_sysex(&ev, message.size(), const_cast<uint8_t*>(message.data()));
  }
  const int err = OutputWithRetry(&ev);
  if (err != 0) return err;
  queue_.MarkSent(message.size());
  *left = 0;
  return 0;
}

int AlsaSeqBackend::WaitForRoom(const Target& target, size_t* piece) {
  auto stalled_after = Clock::now() + kNoProgressLimit;
  RawmidiOutput last;
  for (;;) {
    if (stop_.load() || abandon_.load()) return kAbandoned;
    const auto now = Clock::now();
    Clock::time_point ready;
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      ready = cable_.ReadyAt(*piece, now);
    }
    if (ready > now) {
      // Waiting for the cable is not a stalled device.
      stalled_after = ready + kNoProgressLimit;
      if (!SleepUntil(std::min(ready, now + kIdlePoll))) return kAbandoned;
      continue;
    }
    RawmidiOutput status;
    // Without a visible buffer the cable model alone decides.
    if (!target.rawmidi.found() || !target.rawmidi.Read(&status)) return 0;
    kernel_held_.store(status.Held());
    *piece = std::min(*piece, status.buffer_size);
    if (status.avail >= *piece) return 0;
    if (status.avail != last.avail || status.tx_bytes != last.tx_bytes) {
      last = status;
      stalled_after = now + kNoProgressLimit;
    }
    if (now >= stalled_after) return -ETIMEDOUT;
    if (!SleepUntil(now + kRoomPoll)) return kAbandoned;
  }
}

int AlsaSeqBackend::DeliverInPieces(const Target& target, const std::vector<uint8_t>& message,
                                    size_t* left) {
  // Raw bytes only: the kernel's event decoder would compress running status and so change the
  // stream, while raw data reaches the device exactly as given.
  size_t offset = 0;
  while (offset < message.size()) {
    size_t piece = std::min(kPieceBytes, message.size() - offset);
    if (int err = WaitForRoom(target, &piece); err != 0) return err;
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, port_);
    snd_seq_ev_set_dest(&ev, target.address.client, target.address.port);
    snd_seq_ev_set_direct(&ev);
    snd_seq_ev_set_sysex(&ev, piece, const_cast<uint8_t*>(message.data() + offset));
    if (int err = OutputWithRetry(&ev); err != 0) return err;
    {
      std::lock_guard<std::mutex> lock(state_mutex_);
      cable_.Handed(piece, Clock::now());
    }
    queue_.MarkSent(piece);
    *left -= piece;
    offset += piece;
  }
  return 0;
}

void AlsaSeqBackend::WatchDrain(const Target& target) {
  RawmidiOutput status;
  if (!target.kernel_port || delivery_error_.load() != 0 || !target.rawmidi.found() ||
      !target.rawmidi.Read(&status)) {
    kernel_held_.store(0);
    return;
  }
  kernel_held_.store(status.Held());
  const auto now = Clock::now();
  std::unique_lock<std::mutex> lock(state_mutex_);
  if (status.Held() == 0 || status.avail != idle_last_.avail ||
      status.tx_bytes != idle_last_.tx_bytes) {
    idle_last_ = status;
    idle_since_ = now;
    return;
  }
  if (now - idle_since_ < kNoProgressLimit) return;
  lock.unlock();
  Fail(-ETIMEDOUT);
}

}  // namespace midiflash
