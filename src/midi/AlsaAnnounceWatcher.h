// Watches the ALSA sequencer's announce port for clients and ports that start, exit or change,
// on a thread of its own with a sequencer client of its own, and reports each burst of such
// events through one call, with the ports that went away. Also turns destination addresses into
// identities and back.
#pragma once

#include <alsa/asoundlib.h>

#include <functional>
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

  AlsaAnnounceWatcher() = default;
  // Stops the thread.
  ~AlsaAnnounceWatcher();
  AlsaAnnounceWatcher(const AlsaAnnounceWatcher&) = delete;
  AlsaAnnounceWatcher& operator=(const AlsaAnnounceWatcher&) = delete;

  // Opens client `name` with one hidden port connected from the announce port and starts the
  // thread, which calls `changed` after each burst of client or port events (and after the
  // kernel dropped some, since any of them may have been one). Returns 0, or ALSA's negative
  // errno with nothing started. Calling it again while running returns 0 and changes nothing.
  int Start(const char* name, Changed changed);
  // Ends the thread and closes its client; `changed` is not called after this returns.
  void Stop();

 private:
  void Run();

  snd_seq_t* seq_ = nullptr;
  int stop_fd_ = -1;
  Changed changed_;
  std::thread thread_;
};

}  // namespace midiflash
