// Reading the update file (only regular files, answered at once, never more than the file held
// plus a small margin), and the write restriction, tried in a child that alone loses its rights.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "PosixFileSource.h"
#include "Sandbox.h"

namespace midiflash {
namespace {

TEST(PosixFileSource, ReadsRegularFilesOnlyAndAnswersAtOnce) {
  const std::string dir = ::testing::TempDir() + "midiflash-files-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::ofstream(dir + "/u.dat") << "MThd";
  std::ofstream(dir + "/empty.dat");
  ASSERT_EQ(mkfifo((dir + "/fifo.dat").c_str(), 0600), 0);  // no writer: an open could wait
  ASSERT_EQ(symlink("u.dat", (dir + "/link.dat").c_str()), 0);
  // Mappings that do not merge, so that /proc/self/maps says more than the margin.
  for (int i = 0; i < 128; ++i) {
    mmap(nullptr, 4096, i % 2 ? PROT_READ : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  PosixFileSource source;
  for (const auto& [path, status, error, bytes] :
       std::vector<std::tuple<std::string, ReadStatus, int, std::string>>{
           {dir + "/u.dat", ReadStatus::kOk, 0, "MThd"},
           {dir + "/link.dat", ReadStatus::kOk, 0, "MThd"},
           {dir + "/empty.dat", ReadStatus::kOk, 0, ""},
           {dir + "/missing.dat", ReadStatus::kOpenFailed, ENOENT, ""},
           {dir, ReadStatus::kNotRegularFile, EISDIR, ""},
           {dir + "/fifo.dat", ReadStatus::kNotRegularFile, 0, ""},
           // A size of 0 that reads on: only the margin is read.
           {"/proc/self/maps", ReadStatus::kReadFailed, 0, ""}}) {
    SCOPED_TRACE(path);
    std::vector<uint8_t> out = {1, 2, 3};
    FileStamp stamp, now;
    const auto start = std::chrono::steady_clock::now();
    const FileRead read = source.ReadWhole(path, out, stamp);
    EXPECT_EQ(read.status, status);
    EXPECT_EQ(read.error, error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    if (status != ReadStatus::kOk) {
      EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));  // untouched
      continue;
    }
    EXPECT_EQ(std::string(out.begin(), out.end()), bytes);
    ASSERT_TRUE(source.Stat(path, now));
    EXPECT_EQ(now, stamp);
    EXPECT_EQ(stamp.size, bytes.size());
  }
  std::filesystem::remove_all(dir);
}

// Appends to `report` unless `rc` is what `allowed` says: success, or a failure with EACCES.
void Expect(std::string& report, bool allowed, const char* what, int rc) {
  if (allowed ? rc < 0 : rc >= 0 || errno != EACCES) {
    report += what + (rc < 0 ? ": " + std::string(std::strerror(errno)) : " was allowed") + "; ";
  }
}

// In the child: restricts writes to `rw`, tries what must fail beneath `ro` and what must work,
// prints what did not go as it should, and exits with 0 only when everything did.
[[noreturn]] void TryWrites(const std::string& ro, const std::string& rw) {
  std::string r;
  // A file opened for writing before the restriction (like stderr) stays writable; a writable
  // path that does not exist is left out; a writable file gets only the rights a file can carry.
  const int early = open("/dev/null", O_WRONLY);
  if (!RestrictWrites({rw, "/nonexistent/midiflash", "/dev/null"}, &r)) r = "not restricted: " + r;
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
  std::fputs(r.c_str(), stderr);
  std::_Exit(r.empty() ? 0 : 1);
}

TEST(Sandbox, NothingIsWritableButThePathsGivenAndOpenFilesStayUsable) {
  std::string why;
  if (LandlockAbi(&why) == 0) GTEST_SKIP() << "Landlock is not available: " << why;
  const std::string ro = ::testing::TempDir() + "midiflash-ro-" + std::to_string(getpid());
  const std::string rw = ro + "-rw";
  ASSERT_EQ(mkdir(ro.c_str(), 0700) | mkdir(rw.c_str(), 0700), 0);
  std::ofstream(ro + "/update.dat") << "MThd";
  EXPECT_EXIT(TryWrites(ro, rw), ::testing::ExitedWithCode(0), "");
  std::filesystem::remove_all(ro);
  std::filesystem::remove_all(rw);
}

}  // namespace
}  // namespace midiflash
