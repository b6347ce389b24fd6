// A private JACK server for tests and benchmarks, of the kind MIDIFLASH_TEST_JACK names:
//   async     jackd --no-realtime -d dummy -r 44100 -p 128, not waiting for late clients
//   sync      the same with --sync: every cycle waits for every client (the default)
//   pipewire  pipewire + wireplumber on a session D-Bus in a runtime folder of its own, headless
//             (dummy driver, 48 kHz, 1024 frames); the process must already run on PipeWire's
//             libjack (pw-jack), and so do the programs it starts.
// A jackd takes one of a few fixed names (midiflash-test-0 ... -5), each held under a flock in
// /tmp while it runs, so that two live test processes never share one and a name a killed run left
// in jackd's server table is taken back by the next start.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace midiflash::testing {

enum class JackKind { kAsync, kSync, kPipeWire };
// MIDIFLASH_TEST_JACK; kSync when unset or unknown.
JackKind JackKindFromEnv();
const char* JackKindName(JackKind kind);

class JackServer {
 public:
  // Starts a server of `kind` and waits (at most 5 s) until a client's process callback runs on
  // it. Points this process at it (JACK_DEFAULT_SERVER and JACK_NO_AUDIO_RESERVATION=1, or
  // XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS), so that clients opened here, and children
  // started after, find it. Returns nullptr, with the reason and the server's output in `error`.
  static std::unique_ptr<JackServer> Start(std::string* error, JackKind kind = JackKindFromEnv());

  // Stops what it started (SIGTERM, SIGKILL if it hangs), takes back the server-table entry a
  // killed jackd left, removes its files and puts the environment back as Start found it.
  ~JackServer();
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  JackKind kind() const { return kind_; }
  // jackd's server name; empty for PipeWire.
  const std::string& name() const { return name_; }
  // Kills the server (jackd or pipewire) with SIGKILL, as a crash would; clients see their
  // shutdown callbacks. Returns false when it had already exited.
  bool Kill();

 private:
  JackServer() = default;
  std::string StartJackd(bool sync);
  std::string StartPipeWire();

  JackKind kind_ = JackKind::kSync;
  std::string name_;
  int lock_fd_ = -1;         // the flock on the name's slot
  std::string runtime_dir_;  // PipeWire's XDG_RUNTIME_DIR
  std::vector<pid_t> pids_;  // started in this order, stopped in reverse; the server first
  bool killed_ = false;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_env_;
};

}  // namespace midiflash::testing
