#include "JackServer.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace midiflash::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Reaps the child if it has exited; true when it is gone.
bool Exited(pid_t pid) {
  int wstatus = 0;
  pid_t r = waitpid(pid, &wstatus, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

// SIGTERM lets jackd release its slot in the shared server registry; SIGKILL only if it hangs.
void Terminate(pid_t pid) {
  kill(pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (!Exited(pid)) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Servers still alive, stopped at exit when a test ends the process without their destructor.
std::mutex& LiveMutex() {
  static std::mutex m;
  return m;
}
std::set<pid_t>& LivePids() {
  static std::set<pid_t> pids;
  return pids;
}

void StopLeftovers() {
  std::lock_guard<std::mutex> lock(LiveMutex());
  for (pid_t pid : LivePids()) Terminate(pid);
  LivePids().clear();
}

void Track(pid_t pid) {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(StopLeftovers); });
  std::lock_guard<std::mutex> lock(LiveMutex());
  LivePids().insert(pid);
}

void Untrack(pid_t pid) {
  std::lock_guard<std::mutex> lock(LiveMutex());
  LivePids().erase(pid);
}

void Quiet(const char*) {}

// jackd's own output, kept so that a failed start can say why.
std::string LogPath(const std::string& name) {
  return "/tmp/" + name + ".jackd.log";
}

std::string LogText(const std::string& name) {
  std::ifstream in(LogPath(name));
  std::string line, text;
  while (std::getline(in, line)) {
    if (line.find("XRun") == std::string::npos) text += line + "\n";
  }
  return text;
}

pid_t Spawn(const std::string& name, bool sync) {
  const std::string rate = std::to_string(JackServer::kSampleRate);
  const std::string period = std::to_string(JackServer::kPeriodFrames);
  const std::string log_path = LogPath(name);
  // Without --sync the server runs a cycle without waiting for late clients, as a desktop
  // server without real-time rights does, and reports an xrun instead.
  std::vector<const char*> argv = {"jackd", "--no-realtime"};
  if (sync) argv.push_back("--sync");
  for (const char* a : {"-d", "dummy", "-r", rate.c_str(), "-p", period.c_str()}) argv.push_back(a);
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  // The server must not outlive a test process that crashes.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, STDIN_FILENO);
  int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (log >= 0) {
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
  }
  execvp("jackd", const_cast<char* const*>(argv.data()));
  _exit(127);
}

bool Answers(const std::string& name) {
  jack_status_t status{};
  jack_client_t* probe = jack_client_open(
      "midiflash-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
      name.c_str());
  if (probe == nullptr) return false;
  jack_client_close(probe);
  return true;
}

// Polls until server `name` answers. Returns "" when it does, the reason otherwise.
std::string WaitUntilAnswering(pid_t pid, const std::string& name, Clock::time_point deadline) {
  while (!Answers(name)) {
    if (Exited(pid)) return "jackd exited before it answered: " + LogText(name);
    if (Clock::now() > deadline) return "jackd did not answer in time: " + LogText(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return "";
}

// jackd keeps a small fixed table of servers in shared memory, and a killed server keeps its
// entry until a server of the same name starts again. Starting one and stopping it cleanly
// frees the entry, so that killed test servers do not use the table up for everyone.
void ReleaseRegistryEntry(const std::string& name) {
  pid_t pid = Spawn(name, true);
  if (pid < 0) return;
  WaitUntilAnswering(pid, name, Clock::now() + std::chrono::seconds(3));
  Terminate(pid);
}

// A killed server also leaves its shared memory and semaphores behind; they carry its name.
void RemoveFiles(const std::string& name) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("jack", 0) == 0 && file.find(name + "_") != std::string::npos) {
      std::filesystem::remove(entry.path(), ec);
    }
  }
  std::remove(LogPath(name).c_str());
}

}  // namespace

std::unique_ptr<JackServer> JackServer::Start(std::string* error,
                                              std::chrono::milliseconds ready_timeout, bool sync) {
  static std::atomic<int> counter{0};
  const std::string name =
      "midiflash-test-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
  const char* previous = std::getenv("JACK_DEFAULT_SERVER");
  const bool had_previous = previous != nullptr;
  const std::string previous_name = had_previous ? previous : "";
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);

  pid_t pid = Spawn(name, sync);
  if (pid < 0) {
    if (error) *error = "fork failed";
    return nullptr;
  }
  Track(pid);
  std::unique_ptr<JackServer> server(new JackServer(pid, name, previous_name, had_previous));
  std::string why = WaitUntilAnswering(pid, name, Clock::now() + ready_timeout);
  if (!why.empty()) {
    if (error) *error = why;
    return nullptr;  // the destructor stops what is left
  }
  return server;
}

JackServer::JackServer(pid_t pid, std::string name, std::string previous_name, bool had_previous)
    : pid_(pid),
      name_(std::move(name)),
      previous_name_(std::move(previous_name)),
      had_previous_(had_previous) {}

JackServer::~JackServer() {
  if (pid_ > 0) {
    Terminate(pid_);
    Untrack(pid_);
  }
  if (killed_) ReleaseRegistryEntry(name_);
  RemoveFiles(name_);
  if (had_previous_) {
    setenv("JACK_DEFAULT_SERVER", previous_name_.c_str(), 1);
  } else {
    unsetenv("JACK_DEFAULT_SERVER");
  }
}

bool JackServer::running() {
  if (pid_ <= 0) return false;
  if (!Exited(pid_)) return true;
  // It died on its own: treat it like a kill, its registry entry is still taken.
  Untrack(pid_);
  pid_ = -1;
  killed_ = true;
  return false;
}

bool JackServer::Kill() {
  if (!running()) return false;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  Untrack(pid_);
  pid_ = -1;
  killed_ = true;
  return true;
}

}  // namespace midiflash::testing
