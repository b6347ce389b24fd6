#include "JackServer.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace midiflash::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Enough for the test programs that run at once here (ctest -j, other worktrees' runs); jackd's
// table has 8 entries, and make run keeps one more name.
constexpr int kSlots = 6;

// Reaps the child if it has exited; true when it is gone.
bool Exited(pid_t pid) {
  const pid_t r = waitpid(pid, nullptr, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

// SIGTERM lets jackd free its entry in the shared server table; SIGKILL only if it hangs.
void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  for (const auto end = Clock::now() + 3s; !Exited(pid); std::this_thread::sleep_for(10ms)) {
    if (Clock::now() > end) kill(pid, SIGKILL);
  }
}

// Starts `argv` with its output in `log`; it dies with this process even when that is killed.
pid_t Spawn(std::vector<const char*> argv, const std::string& log) {
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execvp(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

std::string ReadLog(const std::string& log) {
  std::ifstream in(log);
  std::string line, text;
  while (std::getline(in, line)) text += line.find("XRun") == line.npos ? line + "\n" : "";
  return text;
}

// True once a client opened with `options` sees its process callback run: PipeWire accepts
// clients before its session manager has linked them to a driver.
bool ClientRuns(jack_options_t options, const char* name) {
  jack_client_t* probe = jack_client_open("probe", options, nullptr, name);
  if (probe == nullptr) return false;
  std::atomic<int> cycles{0};
  jack_set_process_callback(
      probe, [](jack_nframes_t, void* n) { return ++*static_cast<std::atomic<int>*>(n), 0; },
      &cycles);
  const bool ok = jack_activate(probe) == 0 && [&] {
    for (const auto end = Clock::now() + 1s; Clock::now() < end;) {
      if (cycles.load() > 1) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }();
  jack_client_close(probe);
  return ok;
}

// A program told to test on PipeWire runs on PipeWire's libjack, as pw-jack would start it: once
// more, before main, with that library's folder first on the library path, which the programs it
// starts inherit.
[[maybe_unused]] const bool kOnPipeWire = [] {
  if (JackKindFromEnv() != JackKind::kPipeWire ||
      std::strstr(jack_get_version_string(), "PipeWire") != nullptr ||
      std::getenv("MIDIFLASH_PW_JACK_RESTARTED") != nullptr) {
    return false;
  }
  setenv("MIDIFLASH_PW_JACK_RESTARTED", "1", 1);
  const char* was = std::getenv("LD_LIBRARY_PATH");
  setenv("LD_LIBRARY_PATH",
         (std::string(MIDIFLASH_PIPEWIRE_JACK_DIR) + (was ? std::string(":") + was : "")).c_str(),
         1);
  std::ifstream in("/proc/self/cmdline");
  std::vector<std::string> args;
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv("/proc/self/exe", argv.data());
  return false;  // the error shows as the wrong libjack when the server starts
}();

// jackd's table of 8 servers in /dev/shm keeps the entry of a server that was killed until one of
// the same name starts; programs that name their servers anew each time fill it up for everyone.
// Starts each dead entry's name once and stops it cleanly, which frees the entry. jackd 1.9.21:
// a 24-byte header, then 8 entries of a pid and "jack-UID:NAME:", 264 bytes each.
void FreeDeadServerEntries() {
  std::ifstream in("/dev/shm/jack-shm-registry", std::ios::binary);
  char table[24 + 8 * 264] = {};
  if (!in.read(table, sizeof table)) return;
  const std::string prefix = "jack-" + std::to_string(getuid()) + ":";
  for (size_t i = 0; i < 8; ++i) {
    int32_t pid = 0;
    std::memcpy(&pid, table + 24 + i * 264, sizeof pid);
    std::string name(table + 24 + i * 264 + 4, strnlen(table + 24 + i * 264 + 4, 257));
    if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH || name.rfind(prefix, 0) != 0) continue;
    name = name.substr(prefix.size(), name.size() - prefix.size() - 1);
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    const pid_t again = Spawn({"jackd", "--no-realtime", "-d", "dummy", "-p", "128"}, "/dev/null");
    std::this_thread::sleep_for(1s);
    Stop(again);
  }
}

}  // namespace

JackKind JackKindFromEnv() {
  const char* v = std::getenv("MIDIFLASH_TEST_JACK");
  if (v != nullptr && std::strcmp(v, "async") == 0) return JackKind::kAsync;
  if (v != nullptr && std::strcmp(v, "pipewire") == 0) return JackKind::kPipeWire;
  return JackKind::kSync;
}

const char* JackKindName(JackKind kind) {
  return kind == JackKind::kAsync ? "async" : kind == JackKind::kSync ? "sync" : "pipewire";
}

std::unique_ptr<JackServer> JackServer::Start(std::string* error, JackKind kind) {
  std::unique_ptr<JackServer> server(new JackServer);
  server->kind_ = kind;
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  const bool on_pipewire = std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
  if (on_pipewire != (kind == JackKind::kPipeWire)) {
    *error = std::string("this process runs on ") + (on_pipewire ? "PipeWire's" : "jackd's") +
             " libjack, but the test server is " + JackKindName(kind) +
             (on_pipewire ? "" : " (start it through pw-jack)");
    return nullptr;
  }
  *error = kind == JackKind::kPipeWire ? server->StartPipeWire()
                                       : server->StartJackd(kind == JackKind::kSync);
  return error->empty() ? std::move(server) : nullptr;  // the destructor stops what is left
}

std::string JackServer::StartJackd(bool sync) {
  // The first free slot; a test program waits for one rather than failing at once.
  for (const auto end = Clock::now() + 60s; lock_fd_ < 0; std::this_thread::sleep_for(100ms)) {
    for (int i = 0; i < kSlots && lock_fd_ < 0; ++i) {
      const std::string name = "midiflash-test-" + std::to_string(i);
      const int fd = open(("/tmp/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        lock_fd_ = fd;
        name_ = name;
      } else if (fd >= 0) {
        close(fd);
      }
    }
    if (lock_fd_ < 0 && Clock::now() > end) return "all test server names stay taken";
  }
  for (const char* var : {"JACK_DEFAULT_SERVER", "JACK_NO_AUDIO_RESERVATION"}) {
    const char* was = std::getenv(var);
    saved_env_.emplace_back(var, was ? std::optional<std::string>(was) : std::nullopt);
  }
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  // A run killed with this name may have left its shared memory; its table entry the new server
  // takes back itself.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("jack", 0) == 0 && file.find(name_ + "_") != std::string::npos) {
      std::filesystem::remove(entry.path(), ec);
    }
  }
  const std::string log = "/tmp/" + name_ + ".jackd.log";
  // Without --sync the server runs a cycle without waiting for late clients, as a desktop server
  // without real-time rights does, and reports an xrun instead.
  std::vector<const char*> argv = {"jackd", "--no-realtime", "-d", "dummy",
                                   "-r",    "44100",         "-p", "128"};
  if (sync) argv.insert(argv.begin() + 2, "--sync");
  const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
  for (int tries = 0; tries < 2; ++tries) {
    const pid_t pid = Spawn(argv, log);
    pids_.assign(1, pid);
    for (const auto end = Clock::now() + 5s; Clock::now() < end && !Exited(pid);) {
      if (ClientRuns(options, name_.c_str())) return "";
      std::this_thread::sleep_for(50ms);
    }
    const bool exited = Exited(pid);
    if (exited) pids_[0] = -1;
    const std::string text = ReadLog(log);
    if (!exited || tries > 0 || text.find("Too many servers") == std::string::npos) {
      return (exited ? "jackd exited: " : "jackd did not answer in time: ") + text;
    }
    FreeDeadServerEntries();
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  }
  return "jackd did not start";
}

std::string JackServer::StartPipeWire() {
  char dir[] = "/tmp/midiflash-pw-XXXXXX";  // mode 700, as PipeWire wants its runtime folder
  if (mkdtemp(dir) == nullptr) return std::string("mkdtemp: ") + std::strerror(errno);
  runtime_dir_ = dir;
  const std::string bus = "unix:path=" + runtime_dir_ + "/bus";
  for (const char* var :
       {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "JACK_DEFAULT_SERVER", "PIPEWIRE_PROPS"}) {
    const char* was = std::getenv(var);
    saved_env_.emplace_back(var, was ? std::optional<std::string>(was) : std::nullopt);
  }
  setenv("XDG_RUNTIME_DIR", dir, 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
  unsetenv("JACK_DEFAULT_SERVER");  // PipeWire's libjack would take it as a remote's name
  // By default PipeWire's libjack hands a receiver a note-on of velocity 0 as a note-off of
  // velocity 64; a recorder must see the bytes as they were sent.
  setenv("PIPEWIRE_PROPS", "{ jack.fix-midi-events = false }", 1);
  // The bus runs in the foreground as our child, so that it dies with this process too.
  const std::string address = "--address=" + bus, log = runtime_dir_ + "/server.log";
  pids_.push_back(Spawn({"pipewire"}, log));
  pids_.push_back(Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", address.c_str()},
                        runtime_dir_ + "/dbus.log"));
  for (const auto end = Clock::now() + 5s; access((runtime_dir_ + "/bus").c_str(), F_OK) != 0;) {
    if (Clock::now() > end)
      return "dbus-daemon did not start: " + ReadLog(runtime_dir_ + "/dbus.log");
    std::this_thread::sleep_for(10ms);
  }
  pids_.push_back(Spawn({"wireplumber"}, runtime_dir_ + "/wireplumber.log"));
  for (const auto end = Clock::now() + 10s;; std::this_thread::sleep_for(50ms)) {
    if (ClientRuns(JackNoStartServer, nullptr)) {
      // MIDIFLASH_TEST_PW_QUANTUM=N runs the graph at N frames a cycle instead of 1024.
      const char* quantum = std::getenv("MIDIFLASH_TEST_PW_QUANTUM");
      if (quantum == nullptr) return "";
      const pid_t set = Spawn(
          {"pw-metadata", "-n", "settings", "0", "clock.force-quantum", quantum}, "/dev/null");
      waitpid(set, nullptr, 0);
      std::this_thread::sleep_for(200ms);  // the next cycles take it
      return "";
    }
    if (Clock::now() > end || Exited(pids_[0])) {
      return "PipeWire did not run a JACK client: " + ReadLog(log) +
             ReadLog(runtime_dir_ + "/wireplumber.log");
    }
  }
}

JackServer::~JackServer() {
  // A server that died on its own is as good as killed.
  if (!pids_.empty() && pids_[0] > 0 && Exited(pids_[0])) killed_ = true, pids_[0] = -1;
  for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) {
    if (*pid > 0) Stop(*pid);
  }
  // jackd keeps a table of 8 servers in shared memory, and a killed server keeps its entry until
  // a server of the same name starts again: do that now rather than leave it to a later run.
  if (killed_ && !name_.empty()) {
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    const pid_t again = Spawn({"jackd", "--no-realtime", "-d", "dummy", "-p", "128"}, "/dev/null");
    // Not a client of ours: libjack in a process whose server died may hang opening the next.
    // jackd registers its name long before a second has passed.
    std::this_thread::sleep_for(1s);
    Stop(again);
  }
  std::error_code ec;
  if (!runtime_dir_.empty()) std::filesystem::remove_all(runtime_dir_, ec);
  if (!name_.empty()) std::remove(("/tmp/" + name_ + ".jackd.log").c_str());
  for (const auto& [var, value] : saved_env_) {
    value ? setenv(var.c_str(), value->c_str(), 1) : unsetenv(var.c_str());
  }
  if (lock_fd_ >= 0) close(lock_fd_);  // the name is free for the next start
}

bool JackServer::Kill() {
  if (pids_.empty() || pids_[0] <= 0) return false;
  const bool was_running = !Exited(pids_[0]);
  if (was_running) kill(pids_[0], SIGKILL), waitpid(pids_[0], nullptr, 0);
  pids_[0] = -1;
  killed_ = true;
  return was_running;
}

}  // namespace midiflash::testing
