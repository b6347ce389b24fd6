// A private JACK server for tests and benchmarks: `jackd --no-realtime -d dummy -r 44100 -p 128`
// under a server name of its own, so that runs never meet each other or a desktop's server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

namespace midiflash::testing {

class JackServer {
 public:
  static constexpr int kSampleRate = 44100;
  static constexpr int kPeriodFrames = 128;

  // Starts jackd and waits (at most `ready_timeout`) until a client can connect. Sets
  // JACK_DEFAULT_SERVER (and JACK_NO_AUDIO_RESERVATION=1) in this process, so every client opened
  // here, and every child started after, finds this server. Returns nullptr, with the reason in
  // `error` when given, if jackd cannot be started or does not answer in time. With `sync`
  // false the server runs without --sync: it does not wait for a late client.
  static std::unique_ptr<JackServer> Start(
      std::string* error = nullptr,
      std::chrono::milliseconds ready_timeout = std::chrono::seconds(5), bool sync = true);

  // Stops the server (SIGTERM, then SIGKILL if it hangs) unless Kill() already did, frees what a
  // killed server leaves behind (its slot in jackd's shared server table, its files in /dev/shm),
  // and puts back the JACK_DEFAULT_SERVER value seen before Start.
  ~JackServer();
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  // Server name, as in JACK_DEFAULT_SERVER.
  const std::string& name() const { return name_; }
  pid_t pid() const { return pid_; }
  // True until the server has been killed or has exited.
  bool running();
  // Kills the server at once with SIGKILL, as a crash would, and reaps it. Clients see their
  // shutdown callbacks. Returns false when it was not running. (The destructor then briefly
  // restarts the server under the same name to free its table slot.)
  bool Kill();

 private:
  JackServer(pid_t pid, std::string name, std::string previous_name, bool had_previous);
  pid_t pid_;
  std::string name_;
  std::string previous_name_;
  bool had_previous_;
  bool killed_ = false;
};

}  // namespace midiflash::testing
