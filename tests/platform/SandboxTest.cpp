// The write restriction, tried in a forked child so that the test process keeps its rights.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "Sandbox.h"

namespace midiflash {
namespace {

// Appends to `report` unless `rc` is what `allowed` says: success, or a failure with EACCES.
void Expect(std::string& report, bool allowed, const char* what, int rc) {
  if (allowed && rc < 0) report += std::string(what) + " failed: " + std::strerror(errno) + "; ";
  if (!allowed && rc >= 0) report += std::string(what) + " was allowed; ";
  if (!allowed && rc < 0 && errno != EACCES)
    report += std::string(what) + ": " + std::strerror(errno) + "; ";
}

TEST(Sandbox, NothingIsWritableButThePathsGivenAndOpenFilesStayUsable) {
  std::string why;
  if (LandlockAbi(&why) == 0) GTEST_SKIP() << "Landlock is not available: " << why;
  const std::string ro = ::testing::TempDir() + "midiflash-ro-" + std::to_string(getpid());
  const std::string rw = ro + "-rw";
  ASSERT_EQ(mkdir(ro.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(rw.c_str(), 0700), 0);
  std::ofstream(ro + "/update.dat") << "MThd";
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    std::string r;
    // A file opened for writing before the restriction (like stderr) stays writable; a writable
    // path that does not exist is left out.
    const int early = open("/dev/null", O_WRONLY);
    if (!RestrictWrites({rw, "/nonexistent/midiflash"}, &r)) r = "not restricted: " + r;
    const std::string f = ro + "/update.dat";
    Expect(r, false, "creating a file", open((ro + "/new.dat").c_str(), O_CREAT | O_WRONLY, 0644));
    Expect(r, false, "opening a file for writing", open(f.c_str(), O_WRONLY));
    Expect(r, false, "truncating a file", truncate(f.c_str(), 0));
    Expect(r, false, "removing a file", unlink(f.c_str()));
    Expect(r, false, "renaming a file", rename(f.c_str(), (ro + "/moved.dat").c_str()));
    Expect(r, false, "making a folder", mkdir((ro + "/sub").c_str(), 0755));
    Expect(r, false, "making a symlink", symlink(f.c_str(), (ro + "/link").c_str()));
    Expect(r, false, "making a fifo", mkfifo((ro + "/fifo").c_str(), 0644));
    Expect(r, true, "reading the file", open(f.c_str(), O_RDONLY));
    Expect(r, true, "writing an earlier open file", early >= 0 ? int(write(early, "x", 1)) : -1);
    Expect(r, true, "making a folder beneath a writable path", mkdir((rw + "/sub").c_str(), 0755));
    Expect(r, true, "writing beneath it", open((rw + "/sub/n").c_str(), O_CREAT | O_WRONLY, 0644));
    Expect(r, true, "renaming beneath it", rename((rw + "/sub/n").c_str(), (rw + "/n").c_str()));
    Expect(r, true, "removing beneath it",
           unlink((rw + "/n").c_str()) | rmdir((rw + "/sub").c_str()));
    if (write(pipefd[1], r.data(), r.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipefd[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) report.append(buf, size_t(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(report, "");
  struct stat st;
  EXPECT_NE(stat((ro + "/new.dat").c_str(), &st), 0);
  EXPECT_EQ(stat((ro + "/update.dat").c_str(), &st), 0);
  unlink((ro + "/update.dat").c_str());
  rmdir(ro.c_str());
  rmdir(rw.c_str());
}

}  // namespace
}  // namespace midiflash
