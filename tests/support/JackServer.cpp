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
  const pid_t r = waitpid(pid, nullptr, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

// SIGTERM lets jackd release its slot in the shared server registry; SIGKILL only if it hangs.
void Terminate(pid_t pid) {
  kill(pid, SIGTERM);
  for (const auto deadline = Clock::now() + std::chrono::seconds(3); !Exited(pid);) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Servers still alive, stopped at exit when a failing test ends the process without their
// destructor. Adds `pid` (> 0) or removes `-pid`; 0 stops them all.
void Live(pid_t pid) {
  static std::mutex mutex;
  static std::set<pid_t> pids;
  static std::once_flag once;
  std::call_once(once, [] { std::atexit([] { Live(0); }); });
  std::lock_guard<std::mutex> lock(mutex);
  if (pid > 0) pids.insert(pid);
  if (pid < 0) pids.erase(-pid);
  if (pid == 0) {
    for (pid_t p : pids) Terminate(p);
    pids.clear();
  }
}

// jackd's own output, kept so that a failed start can say why.
std::string LogPath(const std::string& name) {
  return "/tmp/" + name + ".jackd.log";
}

pid_t Spawn(const std::string& name, bool sync) {
  const std::string rate = std::to_string(JackServer::kSampleRate);
  const std::string period = std::to_string(JackServer::kPeriodFrames);
  const std::string log_path = LogPath(name);
  // Without --sync the server runs a cycle without waiting for late clients, as a desktop
  // server without real-time rights does, and reports an xrun instead.
  std::vector<const char*> argv = {"jackd", "--no-realtime"};
  if (sync) argv.push_back("--sync");
  argv.insert(argv.end(), {"-d", "dummy", "-r", rate.c_str(), "-p", period.c_str(), nullptr});
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test process that crashes
  setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
  const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(log, STDOUT_FILENO);
  dup2(log, STDERR_FILENO);
  execvp("jackd", const_cast<char* const*>(argv.data()));
  _exit(127);
}

// Polls until server `name` answers. Returns "" when it does, the reason and jackd's log
// otherwise.
std::string WaitUntilAnswering(pid_t pid, const std::string& name, Clock::time_point deadline) {
  for (;;) {
    jack_status_t status{};
    jack_client_t* probe = jack_client_open(
        "midiflash-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
        name.c_str());
    if (probe != nullptr) {
      jack_client_close(probe);
      return "";
    }
    const bool exited = Exited(pid);
    if (exited || Clock::now() > deadline) {
      std::ifstream in(LogPath(name));
      std::string line,
          text = exited ? "jackd exited before it answered: " : "jackd did not answer in time: ";
      while (std::getline(in, line)) {
        if (line.find("XRun") == std::string::npos) text += line + "\n";
      }
      return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

std::unique_ptr<JackServer> JackServer::Start(std::string* error,
                                              std::chrono::milliseconds ready_timeout, bool sync) {
  static std::atomic<int> counter{0};
  const std::string name =
      "midiflash-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  std::unique_ptr<JackServer> server(new JackServer(-1, name, std::getenv("JACK_DEFAULT_SERVER")));
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  server->pid_ = Spawn(name, sync);
  std::string why = "fork failed";
  if (server->pid_ > 0) {
    Live(server->pid_);
    why = WaitUntilAnswering(server->pid_, name, Clock::now() + ready_timeout);
  }
  if (why.empty()) return server;
  if (error) *error = why;
  return nullptr;  // the destructor stops what is left
}

JackServer::JackServer(pid_t pid, std::string name, const char* previous)
    : pid_(pid),
      name_(std::move(name)),
      previous_(previous ? std::make_unique<std::string>(previous) : nullptr) {}

JackServer::~JackServer() {
  if (pid_ > 0) {
    killed_ = Exited(pid_);  // died on its own: its registry entry is still taken
    if (!killed_) Terminate(pid_);
    Live(-pid_);
  }
  // jackd keeps a small fixed table of servers in shared memory, and a killed server keeps its
  // entry until a server of the same name starts and stops cleanly; without this, killed test
  // servers would use the table up for everyone.
  if (killed_) {
    const pid_t again = Spawn(name_, true);
    if (again > 0) {
      WaitUntilAnswering(again, name_, Clock::now() + std::chrono::seconds(3));
      Terminate(again);
    }
  }
  // A killed server also leaves its shared memory and semaphores behind; they carry its name.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("jack", 0) == 0 && file.find(name_ + "_") != std::string::npos) {
      std::filesystem::remove(entry.path(), ec);
    }
  }
  std::remove(LogPath(name_).c_str());
  previous_ ? setenv("JACK_DEFAULT_SERVER", previous_->c_str(), 1)
            : unsetenv("JACK_DEFAULT_SERVER");
}

bool JackServer::Kill() {
  if (pid_ <= 0 || Exited(pid_)) return false;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  Live(-pid_);
  pid_ = -1;
  killed_ = true;
  return true;
}

}  // namespace midiflash::testing
