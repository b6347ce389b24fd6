// Runs midiflash-cli as a child process, its stdout and stderr captured in memory files.
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace midiflash::testing {

class CliProcess {
 public:
  // Starts midiflash-cli with `args`; with `finish`, waits here for it to exit.
  explicit CliProcess(std::vector<std::string> args, bool finish = false) {
    args.insert(args.begin(), MIDIFLASH_CLI_PATH);
    std::vector<char*> argv;  // made before fork: the child only redirects and execs
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
      dup2(fds_[0], STDOUT_FILENO);
      dup2(fds_[1], STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (finish) Wait();
  }
  ~CliProcess() {
    if (status < 0) kill(pid_, SIGKILL), Wait();
    close(fds_[0]);
    close(fds_[1]);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  void Signal(int signo) { kill(pid_, signo); }
  std::string OutputSoFar() const { return ReadAll(fds_[0]); }
  // Waits for the exit; the status is 128 + the signal's number when a signal ended it.
  int Wait() {
    int s = 0;
    waitpid(pid_, &s, 0);
    out = ReadAll(fds_[0]);
    err = ReadAll(fds_[1]);
    return status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
  }

  int status = -1;
  std::string out, err;

 private:
  // Opened anew, so that reading leaves alone the file offset the child writes at.
  static std::string ReadAll(int fd) {
    std::ifstream in("/proc/self/fd/" + std::to_string(fd));
    return {std::istreambuf_iterator<char>(in), {}};
  }
  pid_t pid_ = -1;
  const int fds_[2] = {memfd_create("stdout", 0), memfd_create("stderr", 0)};
};

// A file in /tmp holding `bytes` (or a path that cannot be opened), removed with this object.
struct TempFile {
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    const int fd = mkstemps(path.data(), 4);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      path = "/nonexistent/unwritten.dat";
    }
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string path = "/tmp/midiflash-test-XXXXXX.dat";
};

}  // namespace midiflash::testing
