// Reading the update file (only regular files, answered at once, never more than the file held
// plus a small margin), and the write restriction, tried in a child that alone loses its rights.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "PosixFileSource.h"
#include "Sandbox.h"

namespace midiflash {
namespace {

// A failed read leaves the buffer and the stamp as they were; a good one stamps what Stat says.
TEST(PosixFileSource, ReadsRegularFilesOnlyAndAnswersAtOnce) {
  const std::string dir = ::testing::TempDir() + "midiflash-files-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::ofstream(dir + "/u.dat") << "MThd";
  ASSERT_EQ(mkfifo((dir + "/fifo.dat").c_str(), 0600), 0);  // no writer: an open could wait
  ASSERT_EQ(symlink("u.dat", (dir + "/link.dat").c_str()), 0);
  // Mappings that do not merge, so that /proc/self/maps says more than the margin.
  for (int i = 0; i < 128; ++i)
    mmap(nullptr, 4096, i % 2 ? PROT_READ : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  PosixFileSource source;
  for (const auto& [path, status, error, bytes] :
       std::vector<std::tuple<std::string, ReadStatus, int, std::string>>{
           {dir + "/u.dat", ReadStatus::kOk, 0, "MThd"},
           {dir + "/link.dat", ReadStatus::kOk, 0, "MThd"},
           {dir + "/missing.dat", ReadStatus::kOpenFailed, ENOENT, "\1\2\3"},
           {dir, ReadStatus::kNotRegularFile, EISDIR, "\1\2\3"},
           {dir + "/fifo.dat", ReadStatus::kNotRegularFile, 0, "\1\2\3"},
           // A size of 0 that reads on: only the margin is read.
           {"/proc/self/maps", ReadStatus::kReadFailed, 0, "\1\2\3"}}) {
    SCOPED_TRACE(path);
    std::vector<uint8_t> out = {1, 2, 3};
    FileStamp stamp, now;
    const FileRead read = source.ReadWhole(path, out, stamp);
    EXPECT_EQ(read.status, status);
    EXPECT_EQ(read.error, error);
    EXPECT_EQ(std::string(out.begin(), out.end()), bytes);
    EXPECT_EQ(source.Stat(path, now) && now == stamp, status == ReadStatus::kOk);
  }
  std::filesystem::remove_all(dir);
}

// In the child: restricts writes to `rw`, makes the tries in order (a braced list runs in order)
// and writes to stderr '-' for each refused with EACCES, '+' for each done, '?' for other failures.
[[noreturn]] void TryWrites(const std::string& ro, const std::string& rw) {
  // A file opened for writing before the restriction (like stderr) stays writable; a writable
  // path that does not exist is left out; a writable file gets only the rights a file can carry.
  const int early = open("/dev/null", O_WRONLY);
  std::string why;
  if (!RestrictWrites({rw, "/nonexistent/midiflash", "/dev/null"}, &why))
    std::fputs(why.c_str(), stderr);
  const auto t = [](int rc) { return rc >= 0 ? '+' : errno == EACCES ? '-' : '?'; };
  const std::string f = ro + "/update.dat", n = rw + "/sub/n";
  const std::string tries = {
      t(open((ro + "/new.dat").c_str(), O_CREAT | O_WRONLY, 0644)),  // refused beneath `ro`
      t(open(f.c_str(), O_WRONLY)),
      t(truncate(f.c_str(), 0)),
      t(unlink(f.c_str())),
      t(rename(f.c_str(), (ro + "/moved.dat").c_str())),
      t(mkdir((ro + "/sub").c_str(), 0755)),
      t(symlink(f.c_str(), (ro + "/link").c_str())),
      t(mkfifo((ro + "/fifo").c_str(), 0644)),
      t(open(f.c_str(), O_RDONLY)),           // allowed: reading
      t(int(write(early, "x", 1))),           // the early file
      t(mkdir((rw + "/sub").c_str(), 0755)),  // beneath `rw`
      t(open(n.c_str(), O_CREAT | O_WRONLY, 0644)),
      t(rename(n.c_str(), (rw + "/n").c_str())),
      t(unlink((rw + "/n").c_str()) | rmdir((rw + "/sub").c_str()))};
  std::fputs(tries.c_str(), stderr);
  std::_Exit(0);
}

TEST(Sandbox, NothingIsWritableButThePathsGivenAndOpenFilesStayUsable) {
  std::string why;
  if (LandlockAbi(&why) == 0) GTEST_SKIP() << "Landlock is not available: " << why;
  const std::string ro = ::testing::TempDir() + "midiflash-ro-" + std::to_string(getpid());
  const std::string rw = ro + "-rw";
  ASSERT_EQ(mkdir(ro.c_str(), 0700) | mkdir(rw.c_str(), 0700), 0);
  std::ofstream(ro + "/update.dat") << "MThd";
  EXPECT_EXIT(TryWrites(ro, rw), ::testing::ExitedWithCode(0), "^-{8}\\+{6}$");
  for (const std::string& d : {ro, rw}) std::filesystem::remove_all(d);
}

}  // namespace
}  // namespace midiflash
