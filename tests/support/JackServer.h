// A private JACK server of the kind MIDIFLASH_TEST_JACK names: async (jackd --no-realtime -d
// dummy), sync (the same with --sync, the default) or pipewire (pipewire and wireplumber, headless,
// in a runtime folder of their own, on PipeWire's libjack). jackd takes a free name of six.
#pragma once

#include <sys/types.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "TestHelpers.h"

namespace midiflash::testing {

enum class JackKind { kAsync, kSync, kPipeWire };
JackKind JackKindFromEnv();  // kSync when unset or unknown
const char* JackKindName(JackKind kind);

class JackServer {
 public:
  // Starts a server, waits until a client runs on it and points the environment at it; nullptr,
  // with the reason and the server's output in `error`, when that fails.
  static std::unique_ptr<JackServer> Start(std::string* error, JackKind kind = JackKindFromEnv());
  // Stops what it started, takes back a killed jackd's table entry, puts the environment back.
  ~JackServer();
  bool Kill();  // SIGKILL to the server, as a crash; false when it had already exited

 private:
  std::string StartJackd(bool sync);
  std::string StartPipeWire();

  std::string name_, runtime_dir_;  // runtime_dir_: PipeWire's XDG_RUNTIME_DIR
  int lock_fd_ = -1;                // the flock on the name
  std::vector<pid_t> pids_;         // started in this order, stopped in reverse; the server first
  std::list<ScopedEnv> env_;        // set until the destructor
};

}  // namespace midiflash::testing
