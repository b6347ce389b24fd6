// A private JACK server for tests and benchmarks: `jackd --no-realtime -d dummy -r 44100 -p 128`
// under a server name of its own, so that runs never meet each other or a desktop's server.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

namespace midiflash::testing {

class JackServer {
 public:
  // Starts jackd and waits (at most 5 s) until a client can connect. Sets JACK_DEFAULT_SERVER (and
  // JACK_NO_AUDIO_RESERVATION=1) in this process, so that clients opened here, and children
  // started after, find this server. Returns nullptr, with jackd's output in `error`, if jackd
  // exits or does not answer. With `sync` false the server does not wait for a late client.
  static std::unique_ptr<JackServer> Start(std::string* error, bool sync = true);

  // Stops the server (SIGTERM, then SIGKILL if it hangs), frees what a killed server leaves behind
  // (its entry in jackd's shared server table, its files in /dev/shm), and puts back the
  // JACK_DEFAULT_SERVER value seen before Start.
  ~JackServer();
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  // Kills the server with SIGKILL, as a crash would; clients see their shutdown callbacks.
  // Returns false when it had already exited.
  bool Kill();

 private:
  JackServer() = default;
  pid_t pid_ = -1;
  bool killed_ = false;
  std::string name_;
  std::optional<std::string> previous_;  // JACK_DEFAULT_SERVER before Start, if set
};

}  // namespace midiflash::testing
