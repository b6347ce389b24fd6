// A run of `midiflash-cli play` as a child process, with its CPU time and resident memory.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Pacing.h"
#include "SmfBuilder.h"

namespace midiflash::bench {

// Writes `bytes` to a new file under /tmp and returns its path.
inline std::string WriteTemp(const testing::Bytes& bytes) {
  char name[] = "/tmp/midiflash-bench-XXXXXX";
  int fd = mkstemp(name);
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    std::perror("write");
  }
  close(fd);
  return name;
}

class PlayRun {
 public:
  PlayRun(const std::string& file, const std::string& port) {
    start_ = std::chrono::steady_clock::now();
    pid_ = fork();
    if (pid_ == 0) {
      freopen("/dev/null", "w", stdout);
      execl(MIDIFLASH_CLI_PATH, MIDIFLASH_CLI_PATH, "play", file.c_str(), "--port", port.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  pid_t pid() const { return pid_; }
  // Resident memory of the child now, in kB (0 when it cannot be read).
  long RssKb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
  }
  // Waits for the end; returns the exit status.
  int Wait() {
    int status = 0;
    struct rusage ru {};
    wait4(pid_, &status, 0, &ru);
    wall_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    cpu_ =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  double wall() const { return wall_; }
  double cpu() const { return cpu_; }

 private:
  pid_t pid_ = -1;
  std::chrono::steady_clock::time_point start_;
  double wall_ = 0;
  double cpu_ = 0;
};

}  // namespace midiflash::bench
