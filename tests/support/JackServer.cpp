#include "JackServer.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "RecordingClient.h"

namespace midiflash::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool Exited(pid_t pid) {  // and reaped
  const pid_t r = waitpid(pid, nullptr, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

// SIGTERM lets jackd free its entry in the shared server table; SIGKILL only if it hangs.
void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  if (!Eventually([&] { return Exited(pid); }, 3s)) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
}

// Starts `argv` with its output in `log`; it dies with this process even when that is killed.
pid_t Spawn(std::vector<const char*> argv, const std::string& log = "/dev/null") {
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO), dup2(out, STDERR_FILENO);
    execvp(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

std::string ReadLog(const std::string& log) {  // without jackd's xrun lines
  std::ifstream in(log);
  std::string line, text;
  while (std::getline(in, line)) text += line.find("XRun") == line.npos ? line + "\n" : "";
  return text;
}

// True once a client's process callback runs (PipeWire accepts clients before it drives them).
bool ClientRuns(jack_options_t options, const char* name) {
  jack_client_t* probe = jack_client_open("probe", options, nullptr, name);
  if (probe == nullptr) return false;
  std::atomic<int> cycles{0};
  jack_set_process_callback(
      probe, [](jack_nframes_t, void* n) { return ++*static_cast<std::atomic<int>*>(n), 0; },
      &cycles);
  const bool ok = jack_activate(probe) == 0 && Eventually([&] { return cycles > 1; }, 1s);
  jack_client_close(probe);
  return ok;
}

bool OnPipeWire() {
  return std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
}

// A program to test on PipeWire runs itself again before main on PipeWire's libjack, as pw-jack
// would start it (glibc passes the arguments to .init_array functions); its children inherit it.
void RunOnPipeWire(int, char** argv, char**) {
  if (JackKindFromEnv() != JackKind::kPipeWire || OnPipeWire() ||
      std::getenv("MIDIFLASH_PW_JACK_RESTARTED") != nullptr) {
    return;
  }
  setenv("MIDIFLASH_PW_JACK_RESTARTED", "1", 1);
  const char* was = std::getenv("LD_LIBRARY_PATH");
  const std::string path = std::string(MIDIFLASH_PIPEWIRE_JACK_DIR) + ":" + (was ? was : "");
  setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  execv("/proc/self/exe", argv);  // on failure the wrong libjack shows when the server starts
}
[[gnu::used, gnu::section(".init_array")]] void (*const kRunOnPipeWire)(int, char**,
                                                                        char**) = RunOnPipeWire;

// jackd's 8-server table in /dev/shm keeps a dead server's entry until its name starts again.
void Reclaim(const std::string& name) {
  const ScopedEnv server("JACK_DEFAULT_SERVER", name);
  const pid_t again = Spawn({"jackd", "--no-realtime", "-d", "dummy", "-p", "128"});
  std::this_thread::sleep_for(1s);  // jackd registers its name long before
  Stop(again);
}

// jackd 1.9.21's table: a 24-byte header, then 8 entries of a pid and "jack-UID:NAME:", 264 bytes.
void FreeDeadServerEntries() {
  char table[24 + 8 * 264] = {};
  if (!std::ifstream("/dev/shm/jack-shm-registry").read(table, sizeof table)) return;
  const std::string prefix = "jack-" + std::to_string(getuid()) + ":";
  for (const char* entry = table + 24; entry < table + sizeof table; entry += 264) {
    int32_t pid = 0;
    std::memcpy(&pid, entry, sizeof pid);
    const std::string name(entry + 4, strnlen(entry + 4, 257));
    if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH && name.starts_with(prefix)) {
      Reclaim(name.substr(prefix.size(), name.size() - prefix.size() - 1));
    }
  }
}

}  // namespace

JackKind JackKindFromEnv() {
  const char* v = std::getenv("MIDIFLASH_TEST_JACK");
  for (const JackKind kind : {JackKind::kAsync, JackKind::kPipeWire}) {
    if (v != nullptr && std::strcmp(v, JackKindName(kind)) == 0) return kind;
  }
  return JackKind::kSync;
}

const char* JackKindName(JackKind kind) {
  return kind == JackKind::kAsync ? "async" : kind == JackKind::kSync ? "sync" : "pipewire";
}

std::unique_ptr<JackServer> JackServer::Start(std::string* error, JackKind kind) {
  std::unique_ptr<JackServer> server(new JackServer);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  if (OnPipeWire() != (kind == JackKind::kPipeWire)) {
    *error = std::string("this process runs on ") + (OnPipeWire() ? "PipeWire's" : "jackd's") +
             " libjack, but the test server is " + JackKindName(kind);
    return nullptr;
  }
  *error = kind == JackKind::kPipeWire ? server->StartPipeWire()
                                       : server->StartJackd(kind == JackKind::kSync);
  return error->empty() ? std::move(server) : nullptr;  // the destructor stops what is left
}

std::string JackServer::StartJackd(bool sync) {
  // The first free name (6: jackd's table has 8 entries, and make run keeps one more name).
  for (const auto end = Clock::now() + 60s; lock_fd_ < 0; std::this_thread::sleep_for(100ms)) {
    for (int i = 0; i < 6 && lock_fd_ < 0; ++i) {
      name_ = "midiflash-test-" + std::to_string(i);
      lock_fd_ = open(("/tmp/" + name_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (lock_fd_ >= 0 && flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) close(lock_fd_), lock_fd_ = -1;
    }
    if (lock_fd_ < 0 && Clock::now() > end)
      return name_.clear(), "all test server names stay taken";
  }
  env_.emplace_back("JACK_NO_AUDIO_RESERVATION", "1");
  env_.emplace_back("JACK_DEFAULT_SERVER", name_);
  // A run killed with this name may have left its shared memory behind.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string file = entry.path().filename().string();
    if (file.starts_with("jack") && file.find(name_ + "_") != file.npos) {
      std::filesystem::remove(entry.path(), ec);
    }
  }
  const std::string log = "/tmp/" + name_ + ".jackd.log";
  // Without --sync, cycles go on without late clients, as on a desktop without real-time rights.
  std::vector<const char*> argv = {"jackd", "--no-realtime", "-d", "dummy",
                                   "-r",    "44100",         "-p", "128"};
  if (sync) argv.insert(argv.begin() + 2, "--sync");
  const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
  for (int tries = 0;; ++tries) {
    pids_.assign(1, Spawn(argv, log));
    for (const auto end = Clock::now() + 5s; Clock::now() < end && !Exited(pids_[0]);) {
      if (ClientRuns(options, name_.c_str())) return "";
      std::this_thread::sleep_for(50ms);
    }
    const bool exited = Exited(pids_[0]);
    if (exited) pids_[0] = -1;
    const std::string text = ReadLog(log);
    if (!exited || tries > 0 || text.find("Too many servers") == text.npos) {
      return (exited ? "jackd exited: " : "jackd did not answer in time: ") + text;
    }
    FreeDeadServerEntries();
  }
}

std::string JackServer::StartPipeWire() {
  char dir[] = "/tmp/midiflash-pw-XXXXXX";  // mode 700, as PipeWire wants its runtime folder
  if (mkdtemp(dir) == nullptr) return std::string("mkdtemp: ") + std::strerror(errno);
  runtime_dir_ = dir;
  const std::string bus = "unix:path=" + runtime_dir_ + "/bus", address = "--address=" + bus;
  env_.emplace_back("XDG_RUNTIME_DIR", dir);
  env_.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus);
  env_.emplace_back("JACK_DEFAULT_SERVER", std::nullopt);  // PipeWire's would take it as a remote
  // Otherwise PipeWire's libjack hands on a note-on of velocity 0 as a note-off of velocity 64.
  env_.emplace_back("PIPEWIRE_PROPS", "{ jack.fix-midi-events = false }");
  pids_.push_back(Spawn({"pipewire"}, runtime_dir_ + "/server.log"));
  // The bus runs in the foreground as our child, so that it dies with this process too.
  pids_.push_back(Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", address.c_str()},
                        runtime_dir_ + "/dbus.log"));
  if (!Eventually([&] { return access((runtime_dir_ + "/bus").c_str(), F_OK) == 0; }, 5s)) {
    return "dbus-daemon did not start: " + ReadLog(runtime_dir_ + "/dbus.log");
  }
  pids_.push_back(Spawn({"wireplumber"}, runtime_dir_ + "/wireplumber.log"));
  for (const auto end = Clock::now() + 10s; !ClientRuns(JackNoStartServer, nullptr);) {
    if (Clock::now() > end || Exited(pids_[0])) {
      return "PipeWire did not run a JACK client: " + ReadLog(runtime_dir_ + "/server.log") +
             ReadLog(runtime_dir_ + "/wireplumber.log");
    }
    std::this_thread::sleep_for(50ms);
  }
  return "";
}

JackServer::~JackServer() {
  if (!pids_.empty() && pids_[0] > 0 && Exited(pids_[0])) pids_[0] = -1;
  for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) *pid > 0 ? Stop(*pid) : void();
  // A jackd that was killed or died keeps its table entry.
  if (!name_.empty() && !pids_.empty() && pids_[0] < 0) Reclaim(name_);
  std::error_code ec;
  if (!runtime_dir_.empty()) std::filesystem::remove_all(runtime_dir_, ec);
  if (!name_.empty()) std::remove(("/tmp/" + name_ + ".jackd.log").c_str());
  if (lock_fd_ >= 0) close(lock_fd_);  // the name is free for the next start
}

bool JackServer::Kill() {
  if (pids_.empty() || pids_[0] <= 0) return false;
  const bool running = !Exited(pids_[0]);
  if (running) kill(pids_[0], SIGKILL), waitpid(pids_[0], nullptr, 0);
  pids_[0] = -1;
  return running;
}

}  // namespace midiflash::testing
