#include "JackBackend.h"

#include <jack/midiport.h>
#include <jack/statistics.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "Log.h"

namespace midiflash {
namespace {

using Clock = std::chrono::steady_clock;

// How long a send may wait for room in the ring, and OpenDestination for the ring to empty.
constexpr auto kMaxWait = std::chrono::seconds(1);
// What a device answers is small; this holds far more than it sends between two looks.
constexpr size_t kInRingBytes = 64 * 1024;
constexpr auto kReaderPoll = std::chrono::milliseconds(5);
// Queued bytes that do not move for this long mean the server stopped running our cycles.
constexpr auto kMaxStall = std::chrono::seconds(5);
// Room for many cycles' worth of messages, so that a burst rarely has to wait.
constexpr size_t kMinRingBytes = 256 * 1024;
constexpr int kRingMultiple = 8;
// How long a lost connection may wait for its port's removal, which would explain it.
constexpr auto kUnlinkedGrace = std::chrono::milliseconds(100);
// jackd --sync waits for a late client, up to ten client timeouts; a cycle that came this much
// later than the previous one may follow one it stopped waiting for (the smallest usual client
// timeout, times ten, is well above this).
constexpr auto kServerGaveUp = std::chrono::milliseconds(250);
// How late jackd's report of a late client may reach us after the cycle it concerns: it passes
// the server's request thread and our notification thread, neither of them real-time.
constexpr auto kLossReportWindow = std::chrono::milliseconds(250);

// Whether the jackd we reach (JACK_DEFAULT_SERVER, or "default") was started with --sync. JACK has
// no call for it; jackd lists its servers' process ids in its table in shared memory (jackd
// 1.9.21: a 24-byte header, then 8 entries of a pid and a 257-byte "jack-UID:NAME:", 264 bytes
// each), and the server's command line says. False when anything is not as expected: warnings
// are then counted as without --sync, more of them, never fewer.
bool JackdRunsSync() {
  const char* env = std::getenv("JACK_DEFAULT_SERVER");
  const std::string server = "jack-" + std::to_string(getuid()) + ":" +
                             (env != nullptr && *env != '\0' ? env : "default") + ":";
  std::ifstream table("/dev/shm/jack-shm-registry", std::ios::binary);
  char header[24 + 8 * 264] = {};
  if (!table.read(header, sizeof header) || std::memcmp(header, "KCAJ", 4) != 0) return false;
  for (size_t i = 0; i < 8; ++i) {
    const char* entry = header + 24 + i * 264;
    int32_t pid = 0;
    std::memcpy(&pid, entry, sizeof pid);
    if (pid <= 0 || std::strncmp(entry + 4, server.c_str(), 257) != 0) continue;
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    // Server options stand before the driver's (-d NAME ...).
    for (std::string arg; std::getline(cmdline, arg, '\0') && arg != "-d" && arg != "--driver";) {
      if (arg == "--sync" || (arg.size() > 1 && arg[0] == '-' && arg[1] != '-' &&
                              arg.find('S') != std::string::npos)) {
        return true;
      }
    }
    return false;
  }
  return false;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// libjack prints its own diagnostics to stderr; the program reports failures through its log.
void SilentJackMessage(const char*) {}

}  // namespace

CycleBudget::CycleBudget(size_t port_bytes, bool pipewire)
    : pipewire_(pipewire), capacity_(port_bytes) {
  Reset();
}

size_t CycleBudget::LargestMessage(size_t max_event_size) const {
  if (!pipewire_) return max_event_size;
  // PipeWire's libjack offers one byte more than it can hold: an event of jack_midi_max_event_size
  // bytes overwrites its own entry (measured on 0.3.65: 32,736 crashes, 32,735 arrives).
  const size_t room = capacity_ > kMargin + kSequenceHeader + kEventHeader
                          ? (capacity_ - kMargin - kSequenceHeader - kEventHeader) & ~size_t{7}
                          : 0;
  return std::min(room, max_event_size > 0 ? max_event_size - 1 : 0);
}

bool CycleBudget::Take(size_t size) {
  if (!pipewire_) return true;
  const size_t cost = kEventHeader + ((size + 7) & ~size_t{7});
  if (used_ + cost + kMargin > capacity_) return false;
  used_ += cost;
  return true;
}

JackBackend::~JackBackend() {
  if (reader_.joinable()) {
    stop_reader_.store(true);
    reader_.join();
  }
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
  // PipeWire's libjack says so here ("3.0.0.0 (using PipeWire 0.3.65)"); jackd's gives a number.
  pipewire_ = std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
  sync_ = !pipewire_ && JackdRunsSync();
  jack_on_shutdown(client_, OnShutdown, this);
  // Registered before activation, as JACK requires; they only flag and notify.
  jack_set_xrun_callback(client_, OnXrun, this);
  jack_set_port_registration_callback(client_, OnPortRegistration, this);
  jack_set_client_registration_callback(client_, OnClientRegistration, this);
  jack_set_port_rename_callback(client_, OnPortRename, this);
  jack_set_port_connect_callback(client_, OnPortConnect, this);
  return 0;
}

int32_t JackBackend::CreateOutputPort(const char* name) {
  if (client_ == nullptr) return -ENODEV;
  size_t port_bytes = jack_port_type_get_buffer_size(client_, JACK_DEFAULT_MIDI_TYPE);
  ring_ = std::make_unique<SpscByteRing>(std::max(kMinRingBytes, kRingMultiple * port_bytes));
  in_ring_ = std::make_unique<SpscByteRing>(kInRingBytes);
  budget_ = std::make_unique<CycleBudget>(port_bytes, pipewire_);
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
  const int64_t now_ns = NowNs();
  const int64_t previous_ns = self->last_cycle_ns_.exchange(now_ns, std::memory_order_relaxed);

  // Whether what the previous two calls wrote may have been lost. PipeWire 0.3.65 goes on without
  // a late reader but reports nothing (measured): a skipped cycle or a long gap while data was in
  // the graph is all there is to see. jackd's reports are counted where they arrive (OnXrun).
  jack_nframes_t frames = 0;
  jack_time_t current_usecs = 0, next_usecs = 0;
  float period_usecs = 0;
  const bool timed =
      jack_get_cycle_times(self->client_, &frames, &current_usecs, &next_usecs, &period_usecs) == 0;
  const bool skipped =
      timed && self->have_previous_frames_ && frames - self->previous_frames_ > nframes;
  if (timed) {
    self->previous_frames_ = frames;
    self->have_previous_frames_ = true;
    self->period_ns_.store(static_cast<int64_t>(period_usecs * 1000), std::memory_order_relaxed);
  }
  const uint64_t xruns = self->graph_xruns_.load(std::memory_order_relaxed);
  const bool graph_xrun = xruns != self->xruns_seen_;
  self->xruns_seen_ = xruns;
  const bool at_stake = self->in_graph_bytes_[0] + self->in_graph_bytes_[1] > 0;
  const bool gave_up =
      previous_ns != 0 && now_ns - previous_ns > std::chrono::nanoseconds(kServerGaveUp).count();
  // jackd --sync stopped waiting for a late client while our data was in the graph: its report
  // of that counts, whether it came just before this call or comes later (OnXrun).
  if (self->sync_ && gave_up && at_stake) {
    self->gave_up_ns_.store(now_ns, std::memory_order_relaxed);
    if (self->Recent(self->xrun_ns_.load(std::memory_order_relaxed), now_ns)) {
      self->CountLossOnce(now_ns);
    }
  }
  if (self->pipewire_ && at_stake && (graph_xrun || skipped || gave_up)) {
    self->warnings_.fetch_add(1, std::memory_order_relaxed);
  }
  // What the call before the previous one wrote has now been through two whole cycles.
  self->pending_bytes_.fetch_sub(self->in_graph_bytes_[1], std::memory_order_relaxed);
  self->in_graph_bytes_[1] = self->in_graph_bytes_[0];
  self->in_graph_bytes_[0] = 0;

  void* buffer = jack_port_get_buffer(port, nframes);
  jack_midi_clear_buffer(buffer);
  if (self->max_event_size_.load(std::memory_order_relaxed) == 0) {
    self->max_event_size_.store(jack_midi_max_event_size(buffer), std::memory_order_release);
  }
  SpscByteRing& ring = *self->ring_;
  CycleBudget& budget = *self->budget_;
  budget.Reset();
  uint32_t length = 0;
  // Cancel: what was queued before DropPending is discarded here, on the ring's consumer side.
  const size_t drop_until = self->drop_until_.load(std::memory_order_acquire);
  while (ring.ReadTotal() < drop_until && ring.Peek(&length, sizeof length)) {
    ring.Skip(sizeof length + length);
    self->pending_bytes_.fetch_sub(length, std::memory_order_relaxed);
  }
  while (ring.Peek(&length, sizeof length) && ring.ReadSpace() >= sizeof length + length) {
    // A message that does not fit what is left of this cycle stays queued for the next one.
    if (!budget.Take(length)) break;
    jack_midi_data_t* slot = jack_midi_event_reserve(buffer, 0, length);
    if (slot == nullptr) break;
    ring.Read(&length, sizeof length);
    ring.Read(slot, length);
    self->in_graph_bytes_[0] += length;
  }
  if (self->in_graph_bytes_[0] > 0) self->last_data_ns_.store(now_ns, std::memory_order_relaxed);
  if (jack_port_t* in = self->in_port_.load(std::memory_order_acquire)) {
    void* input = jack_port_get_buffer(in, nframes);
    jack_midi_event_t event;
    for (uint32_t i = 0; jack_midi_event_get(&event, input, i) == 0; ++i) {
      const auto size = static_cast<uint32_t>(event.size);
      if (!self->in_ring_->Write(&size, sizeof size, event.buffer, size)) {
        self->in_overflows_.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  self->cycles_.fetch_add(1, std::memory_order_release);
  return 0;
}

void JackBackend::OnShutdown(void* arg) {
  auto* self = static_cast<JackBackend*>(arg);
  self->shut_down_.store(true);
  self->notifier_.Notify();
}

int JackBackend::OnXrun(void* arg) {
  auto* self = static_cast<JackBackend*>(arg);
  // jackd reports two kinds of xrun. A driver that woke late records by how much; that cycle ran
  // late, but whole, and --sync makes every late client delay the cycle in this way. A client
  // still running when a cycle starts leaves that figure alone: the server went on without it,
  // and what it had not read is lost. PipeWire 0.3.65 calls this for neither (measured).
  const float delayed = jack_get_xrun_delayed_usecs(self->client_);
  const bool graph_xrun = self->pipewire_ || delayed == self->last_xrun_delay_;
  self->last_xrun_delay_ = delayed;
  if (!graph_xrun) return 0;
  if (self->pipewire_) {
    self->graph_xruns_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  // The report comes from the server's threads through ours, which a loaded machine delays by
  // many cycles: it counts against data written within the window before it, not only in the
  // last two cycles, and a run that ends waits that long for it (LossReportDue).
  const int64_t now_ns = NowNs();
  self->xrun_ns_.store(now_ns, std::memory_order_relaxed);
  const int64_t concerned = (self->sync_ ? self->gave_up_ns_ : self->last_data_ns_).load();
  if (self->Recent(concerned, now_ns)) self->CountLossOnce(concerned);
  return 0;
}

void JackBackend::CountLossOnce(int64_t concerned_ns) {
  // Several reports about the same data count once: the count says how many times data may have
  // gone, not how often a loaded server repeated itself.
  if (last_counted_ns_.exchange(concerned_ns) != concerned_ns) warnings_.fetch_add(1);
}

bool JackBackend::Recent(int64_t then_ns, int64_t now_ns) const {
  return then_ns != 0 && now_ns - then_ns < std::chrono::nanoseconds(kLossReportWindow).count() +
                                                2 * period_ns_.load(std::memory_order_relaxed);
}

bool JackBackend::LossReportDue() {
  return !pipewire_ && Recent(last_data_ns_.load(), NowNs());
}

void JackBackend::OnPortRegistration(jack_port_id_t, int, void* arg) {
  static_cast<JackBackend*>(arg)->notifier_.Notify();
}

void JackBackend::OnClientRegistration(const char*, int, void* arg) {
  static_cast<JackBackend*>(arg)->notifier_.Notify();
}

void JackBackend::OnPortConnect(jack_port_id_t a, jack_port_id_t b, int connect, void* arg) {
  auto* self = static_cast<JackBackend*>(arg);
  jack_port_t* target = self->target_port_.load();
  if (connect || target == nullptr) return;
  jack_port_t* ours = self->port_.load();
  jack_port_t* pa = jack_port_by_id(self->client_, a);
  jack_port_t* pb = jack_port_by_id(self->client_, b);
  if ((pa == ours && pb == target) || (pa == target && pb == ours)) self->unlinked_.store(true);
}

void JackBackend::OnPortRename(jack_port_id_t, const char*, const char*, void* arg) {
  static_cast<JackBackend*>(arg)->notifier_.Notify();
}

void JackBackend::SetDestinationsChanged(std::function<void()> changed) {
  notifier_.Set(std::move(changed));
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

std::vector<std::string> JackBackend::PortNames(unsigned long flags) {
  std::vector<std::string> names;
  if (client_ == nullptr || shut_down_.load()) return names;
  const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
  if (ports == nullptr) return names;
  for (const char** p = ports; *p != nullptr; ++p) {
    jack_port_t* port = jack_port_by_name(client_, *p);
    if (port != nullptr && jack_port_is_mine(client_, port)) continue;
    names.emplace_back(*p);
  }
  jack_free(ports);
  return names;
}

namespace {

std::vector<MidiDestination> Describe(std::vector<std::string> names) {
  std::vector<MidiDestination> list;
  for (std::string& name : names) {
    MidiDestination d;
    const size_t colon = name.find(':');
    d.clientName = name.substr(0, colon);
    d.portName = colon == std::string::npos ? "" : name.substr(colon + 1);
    // A bridge from the ALSA sequencer (a2jmidid, PipeWire's) lists its forwarding port too.
    d.passThrough = name.find("Midi Through") != std::string::npos;
    d.id = d.name = std::move(name);
    list.push_back(std::move(d));
  }
  return list;
}

}  // namespace

std::vector<MidiDestination> JackBackend::ListDestinations() {
  return Describe(PortNames(JackPortIsInput));
}

std::vector<MidiDestination> JackBackend::ListSources() {
  return Describe(PortNames(JackPortIsOutput));
}

int32_t JackBackend::OpenSource(const std::string& id) {
  if (client_ == nullptr || !active_.load() || shut_down_.load()) return id.empty() ? 0 : -ENODEV;
  jack_port_t* in = in_port_.load();
  if (in != nullptr) jack_port_disconnect(client_, in);
  if (id.empty()) return 0;
  const std::vector<std::string> names = PortNames(JackPortIsOutput);
  if (std::find(names.begin(), names.end(), id) == names.end()) return -ENOENT;
  if (in == nullptr) {
    // Registered only once a device is asked, so that until then no input of ours is listed
    // among other programs' destinations.
    in = jack_port_register(client_, "inputPortName", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (in == nullptr) return -EIO;
    in_port_.store(in, std::memory_order_release);
    reader_ = std::thread([this] { ReadLoop(); });
  }
  // A request must not go out before its answer can come in.
  return ConnectAndWait(in, id, false);
}

void JackBackend::SetReceived(std::function<void(const uint8_t*, size_t)> received) {
  received_.Set(std::move(received));
}

void JackBackend::ReadLoop() {
  std::vector<uint8_t> event;
  uint64_t overflows = 0;
  while (!stop_reader_.load()) {
    uint32_t size = 0;
    while (in_ring_->Peek(&size, sizeof size) && in_ring_->ReadSpace() >= sizeof size + size) {
      event.resize(size);
      in_ring_->Read(&size, sizeof size);
      in_ring_->Read(event.data(), size);
      received_.Notify(event.data(), event.size());
    }
    if (const uint64_t now = in_overflows_.load(); now != overflows) {
      LogLine("MIDI input: %llu message(s) lost, the reader fell behind",
              static_cast<unsigned long long>(now - overflows));
      overflows = now;
    }
    std::this_thread::sleep_for(kReaderPoll);
  }
}

int32_t JackBackend::OpenDestination(const std::string& id) {
  jack_port_t* port = port_.load();
  if (client_ == nullptr || port == nullptr || shut_down_.load()) return -ENODEV;
  WaitUntilSent();
  sent_since_open_ = false;
  delivery_error_ = 0;
  last_progress_ = {};
  unconnected_since_ = {};
  warnings_.store(0);
  // Choosing the destination that is already connected keeps the connection: tearing it down and
  // making it again leaves a moment in which a send is refused as not connected.
  if (!target_.empty() && id == target_ && jack_port_connected_to(port, target_.c_str())) return 0;
  target_port_.store(nullptr);
  jack_port_disconnect(client_, port);
  target_.clear();
  const std::vector<std::string> names = PortNames(JackPortIsInput);
  if (std::find(names.begin(), names.end(), id) == names.end()) return -ENOENT;
  target_ = id;
  unlinked_.store(false);
  target_port_.store(jack_port_by_name(client_, target_.c_str()));
  // Until the connection shows, the port reads as unconnected and a send would be refused.
  return ConnectAndWait(port, target_, true);
}

int32_t JackBackend::ConnectAndWait(jack_port_t* own, const std::string& other, bool own_sends) {
  const char* mine = jack_port_name(own);
  const char* theirs = other.c_str();
  if (const int err =
          own_sends ? jack_connect(client_, mine, theirs) : jack_connect(client_, theirs, mine)) {
    return err;
  }
  const auto deadline = Clock::now() + kMaxWait;
  while (!jack_port_connected_to(own, theirs)) {
    if (shut_down_.load()) return -ESHUTDOWN;
    if (Clock::now() > deadline) return -ETIMEDOUT;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return 0;
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
  if (size > LargestMessage({})) return -EMSGSIZE;
  if (jack_port_by_name(client_, target_.c_str()) == nullptr) return -ENOENT;
  if (!jack_port_connected_to(port, target_.c_str())) return -ENOTCONN;

  const uint32_t length = static_cast<uint32_t>(size);
  const size_t record = sizeof length + size;
  if (record > ring_->capacity()) return -EMSGSIZE;
  // Counted before the write: the process callback may take the message at once. Nothing was on
  // its way before: the no-progress clock starts here, not at a time an earlier run left.
  if (pending_bytes_.fetch_add(size) == 0) {
    last_read_total_ = ring_->ReadTotal();
    last_progress_ = Clock::now();
  }
  // A full ring means the server is behind; wait for it rather than drop the message.
  auto deadline = Clock::now() + kMaxWait;
  while (!ring_->Write(&length, sizeof length, data, size)) {
    const bool down = shut_down_.load();
    if (down || Clock::now() > deadline) {
      pending_bytes_.fetch_sub(size);
      return down ? -ESHUTDOWN : -ETIMEDOUT;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  sent_since_open_ = true;
  return 0;
}

uint64_t JackBackend::LargestMessage(const std::string&) {
  if (!active_.load() || budget_ == nullptr) return UINT64_MAX;
  // Measured by the first cycle; a server still busy with a client that went away may take a
  // few seconds to run it, and a guess would refuse a good file or pass a bad one.
  for (int i = 0; i < 5 && max_event_size_.load(std::memory_order_acquire) == 0; ++i) {
    if (!WaitForCycles(1) && shut_down_.load()) break;
  }
  return budget_->LargestMessage(max_event_size_.load(std::memory_order_acquire));
}

uint64_t JackBackend::PendingBytes() {
  return pending_bytes_.load();
}

int32_t JackBackend::TargetStatus() {
  if (shut_down_.load()) return -ESHUTDOWN;
  jack_port_t* port = port_.load();
  if (jack_port_by_name(client_, target_.c_str()) == nullptr) return -ENOENT;
  const auto now = Clock::now();
  // jackd --sync that waits for a dead client (ten client timeouts, 5 s by default) shows the
  // removal of its links only once it stops waiting, but tells us of it at once.
  if (unlinked_.load() || !jack_port_connected_to(port, target_.c_str())) {
    // PipeWire removes a closing client's links before its ports, and tells us of each apart: a
    // moment later the port is gone too, and that is what happened.
    if (unconnected_since_ == Clock::time_point{}) unconnected_since_ = now;
    if (now - unconnected_since_ > kUnlinkedGrace) return -ENOTCONN;
    return 0;
  }
  unconnected_since_ = {};
  const size_t read = ring_->ReadTotal();
  if (pending_bytes_.load() == 0 || read != last_read_total_ ||
      last_progress_ == Clock::time_point{}) {
    last_read_total_ = read;
    last_progress_ = now;
  } else if (now - last_progress_ > kMaxStall) {
    return -ETIMEDOUT;
  }
  return 0;
}

int32_t JackBackend::DeliveryError() {
  if (delivery_error_ != 0 || !sent_since_open_) return delivery_error_;
  delivery_error_ = TargetStatus();
  if (delivery_error_ != 0) LogLine("MIDISend err = %d", delivery_error_);
  return delivery_error_;
}

void JackBackend::DropPending() {
  if (ring_ != nullptr) drop_until_.store(ring_->WrittenTotal(), std::memory_order_release);
}

}  // namespace midiflash
