// The write restriction, tried in a forked child so that the test process keeps its rights.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "Sandbox.h"

namespace midiflash {
namespace {

// Runs `body` in a child process; returns what it wrote to its report (empty when all held).
std::string InChild(const std::function<std::string()>& body) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    const std::string report = body();
    if (write(pipefd[1], report.data(), report.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipefd[1]);
  std::string report;
  char buf[512];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += " (child failed)";
  return report;
}

// Appends to `report` unless `rc` failed with EACCES.
void ExpectDenied(std::string& report, const char* what, int rc) {
  if (rc >= 0) {
    report += std::string(what) + " was allowed; ";
  } else if (errno != EACCES) {
    report += std::string(what) + ": " + std::strerror(errno) + "; ";
  }
}

struct SandboxTest : ::testing::Test {
  std::string dir;
  void SetUp() override {
    std::string why;
    if (LandlockAbi(&why) == 0) GTEST_SKIP() << "Landlock is not available: " << why;
    std::string tmpl = ::testing::TempDir() + "midiflash-sandbox-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    FILE* f = std::fopen((dir + "/update.dat").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("MThd", f);
    std::fclose(f);
  }
  void TearDown() override {
    if (dir.empty()) return;
    unlink((dir + "/update.dat").c_str());
    rmdir(dir.c_str());
  }
};

TEST_F(SandboxTest, WorkingDirectoryBecomesReadOnly) {
  const std::string report = InChild([&] {
    std::string r;
    if (chdir(dir.c_str()) != 0) return std::string("chdir failed");
    // A file opened for writing before the restriction (like stderr) stays writable.
    const int early = open("/dev/null", O_WRONLY);
    std::string why;
    if (!RestrictWrites(MidiServicePaths(), &why)) return "not restricted: " + why;

    ExpectDenied(r, "creating a file", open("new.dat", O_CREAT | O_WRONLY, 0644));
    ExpectDenied(r, "opening a file for writing", open("update.dat", O_WRONLY));
    ExpectDenied(r, "truncating a file", truncate("update.dat", 0));
    ExpectDenied(r, "removing a file", unlink("update.dat"));
    ExpectDenied(r, "renaming a file", rename("update.dat", "moved.dat"));
    ExpectDenied(r, "making a folder", mkdir("sub", 0755));
    ExpectDenied(r, "making a symlink", symlink("update.dat", "link.dat"));
    ExpectDenied(r, "making a fifo", mkfifo("fifo", 0644));

    char buf[8] = {};
    const int fd = open("update.dat", O_RDONLY);
    if (fd < 0 || read(fd, buf, sizeof buf) != 4 || std::string(buf) != "MThd") {
      r += "reading the file failed; ";
    }
    if (early < 0 || write(early, "x", 1) != 1) r += "an earlier open file lost its rights; ";
    return r;
  });
  EXPECT_EQ(report, "");
  struct stat st;
  EXPECT_NE(stat((dir + "/new.dat").c_str(), &st), 0);
  EXPECT_EQ(stat((dir + "/update.dat").c_str(), &st), 0);
}

TEST_F(SandboxTest, WritablePathsKeepTheirRights) {
  const std::string report = InChild([&] {
    std::string r, why;
    // A path that does not exist is left out; the rest still applies.
    if (!RestrictWrites({dir, "/nonexistent/midiflash"}, &why)) return "not restricted: " + why;
    const std::string file = dir + "/sub/new.dat";
    if (mkdir((dir + "/sub").c_str(), 0755) != 0) r += "mkdir beneath a writable path failed; ";
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || write(fd, "x", 1) != 1) r += "writing beneath a writable path failed; ";
    if (rename(file.c_str(), (dir + "/moved.dat").c_str()) != 0) {
      r += std::string("rename between folders beneath it failed: ") + std::strerror(errno) + "; ";
    }
    if (unlink((dir + "/moved.dat").c_str()) != 0 || rmdir((dir + "/sub").c_str()) != 0) {
      r += "removing beneath a writable path failed; ";
    }
    ExpectDenied(r, "creating a file outside",
                 open("/tmp/midiflash-outside", O_CREAT | O_WRONLY, 0644));
    return r;
  });
  EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace midiflash
