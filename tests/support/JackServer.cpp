#include "JackServer.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace midiflash::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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

// Starts jackd as server `name` (its pid in `pid`) and waits until a client can connect. Returns
// "" when one could, else the reason with jackd's output.
std::string Run(const std::string& name, bool sync, pid_t* pid) {
  const std::string log = "/tmp/" + name + ".jackd.log";  // jackd's output, for the reason
  // Without --sync the server runs a cycle without waiting for late clients, as a desktop
  // server without real-time rights does, and reports an xrun instead.
  std::vector<const char*> argv = {"jackd", "--no-realtime", "-d", "dummy",
                                   "-r",    "44100",         "-p", "128"};
  if (sync) argv.insert(argv.begin() + 2, "--sync");
  argv.push_back(nullptr);
  *pid = fork();
  if (*pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test process that crashes
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execvp("jackd", const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
  for (const auto end = Clock::now() + 5s; *pid > 0; std::this_thread::sleep_for(50ms)) {
    if (jack_client_t* probe = jack_client_open("probe", options, nullptr, name.c_str())) {
      jack_client_close(probe);
      return "";
    }
    const bool exited = Exited(*pid);
    if (!exited && Clock::now() < end) continue;
    std::ifstream in(log);
    std::string line, text = exited ? "jackd exited: " : "jackd did not answer in time: ";
    while (std::getline(in, line)) text += line.find("XRun") == line.npos ? line + "\n" : "";
    return text;
  }
  return "fork failed";
}

}  // namespace

std::unique_ptr<JackServer> JackServer::Start(std::string* error, bool sync) {
  static std::atomic<int> counter{0};
  std::unique_ptr<JackServer> server(new JackServer);
  server->name_ = "midiflash-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  if (const char* was = std::getenv("JACK_DEFAULT_SERVER")) server->previous_ = was;
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  setenv("JACK_DEFAULT_SERVER", server->name_.c_str(), 1);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  *error = Run(server->name_, sync, &server->pid_);
  return error->empty() ? std::move(server) : nullptr;  // the destructor stops what is left
}

JackServer::~JackServer() {
  if (pid_ > 0 && Exited(pid_)) killed_ = true;  // died on its own: as good as killed
  if (pid_ > 0 && !killed_) Stop(pid_);
  // jackd keeps a small fixed table of servers in shared memory, and a killed (or crashed) server
  // keeps its entry until a server of the same name starts and stops cleanly; without this,
  // killed test servers would use the table up for everyone.
  if (killed_) {
    pid_t again = -1;
    Run(name_, true, &again);
    if (again > 0) Stop(again);
  }
  // A killed server also leaves its shared memory and semaphores behind; they carry its name.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("jack", 0) == 0 && file.find(name_ + "_") != std::string::npos) {
      std::filesystem::remove(entry.path(), ec);
    }
  }
  std::remove(("/tmp/" + name_ + ".jackd.log").c_str());
  previous_ ? setenv("JACK_DEFAULT_SERVER", previous_->c_str(), 1)
            : unsetenv("JACK_DEFAULT_SERVER");
}

bool JackServer::Kill() {
  if (pid_ <= 0 || Exited(pid_)) return false;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return killed_ = true;
}

}  // namespace midiflash::testing
