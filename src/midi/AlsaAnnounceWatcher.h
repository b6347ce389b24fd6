// Watches the ALSA sequencer's announce port for clients and ports that start, exit or change,
// on a thread of its own with a sequencer client of its own, and reports each burst of such
// events through one call, with the ports that went away. The same thread receives what one
// source port sends, while it is listened to, as bytes. Also turns port addresses into identities
// and back.
#pragma once

#include <alsa/asoundlib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace midiflash {

// "client:port" in decimal, as ALSA's own tools write an address.
std::string AlsaAddressId(const snd_seq_addr_t& address);
// Reads an identity written by AlsaAddressId. Returns false for anything else.
bool ParseAlsaAddressId(const std::string& id, snd_seq_addr_t* address);

class AlsaAnnounceWatcher {
 public:
  // Ports that exited in one burst; a client that exited is given with port kEveryPort.
  static constexpr unsigned char kEveryPort = 255;
  using Changed = std::function<void(const std::vector<snd_seq_addr_t>& exited)>;
  // Bytes from the source listened to, in the order sent (sequencer events turned into MIDI).
  using Received = std::function<void(const uint8_t* data, size_t size)>;

  AlsaAnnounceWatcher() = default;
  // Stops the thread.
  ~AlsaAnnounceWatcher();
  AlsaAnnounceWatcher(const AlsaAnnounceWatcher&) = delete;
  AlsaAnnounceWatcher& operator=(const AlsaAnnounceWatcher&) = delete;

  // Opens client `name` with one hidden port connected from the announce port, and one hidden
  // port for a source's bytes, and starts the thread, which calls `changed` after each burst of
  // client or port events (and after the kernel dropped some, since any of them may have been
  // one) and `received` with what the source listened to sends. Returns 0, or ALSA's negative
  // errno with nothing started. Calling it again while running returns 0 and changes nothing.
  int Start(const char* name, Changed changed, Received received);
  // Ends the thread and closes its client; neither function is called after this returns.
  void Stop();
  // Receives from `source` alone from now on, or with nullptr from none: subscribes the hidden
  // port to it (a kernel MIDI port opens its input only while subscribed). Returns 0, -ENODEV
  // when not started, or ALSA's negative errno (then from none). Any thread.
  int Listen(const snd_seq_addr_t* source);

 private:
  void Run();
  // Watcher thread, under seq_mutex_: the event as MIDI bytes appended to `out`.
  void Decode(const snd_seq_event_t* ev, std::vector<uint8_t>& out);

  snd_seq_t* seq_ = nullptr;
  // alsa-lib's handle is not thread-safe: the thread's reads and Listen hold this.
  std::mutex seq_mutex_;
  int replies_port_ = -1;
  // Under seq_mutex_.
  bool listening_ = false;
  snd_seq_addr_t listened_{};
  snd_midi_event_t* decoder_ = nullptr;
  int stop_fd_ = -1;
  Changed changed_;
  Received received_;
  std::thread thread_;
};

}  // namespace midiflash
