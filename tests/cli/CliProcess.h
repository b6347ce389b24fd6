// Runs midiflash-cli as a child process with its output captured, for end-to-end tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace midiflash::testing {

class CliProcess {
 public:
  // Starts midiflash-cli with `args`; stdout and stderr go to files read by Wait().
  explicit CliProcess(const std::vector<std::string>& args) {
    char out_name[] = "/tmp/midiflash-cli-out-XXXXXX";
    char err_name[] = "/tmp/midiflash-cli-err-XXXXXX";
    out_fd_ = mkstemp(out_name);
    err_fd_ = mkstemp(err_name);
    unlink(out_name);
    unlink(err_name);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out_fd_, STDOUT_FILENO);
      dup2(err_fd_, STDERR_FILENO);
      std::vector<char*> argv;
      std::string path = MIDIFLASH_CLI_PATH;
      argv.push_back(path.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
  }
  ~CliProcess() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_fd_);
    close(err_fd_);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  void Signal(int signo) { kill(pid_, signo); }

  // What the program has written to stdout so far, while it runs.
  std::string OutputSoFar() const { return ReadAll(out_fd_); }

  // Waits for the exit and returns the exit status (128 + signal when killed by one).
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    waited_ = true;
    out = ReadAll(out_fd_);
    err = ReadAll(err_fd_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string out;
  std::string err;

 private:
  // pread leaves the file offset the child shares with us alone.
  static std::string ReadAll(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(s.size()))) > 0) {
      s.append(buf, static_cast<size_t>(n));
    }
    return s;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool waited_ = false;
};

}  // namespace midiflash::testing
