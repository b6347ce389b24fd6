// Reading the update file from the file system: only regular files, answered at once, and never
// more than the file held when it was opened (and a small margin).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "PosixFileSource.h"

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
  for (const auto& [path, status, bytes] :
       std::vector<std::tuple<std::string, ReadStatus, std::string>>{
           {dir + "/u.dat", ReadStatus::kOk, "MThd"},
           {dir + "/link.dat", ReadStatus::kOk, "MThd"},
           {dir + "/empty.dat", ReadStatus::kOk, ""},
           {dir + "/missing.dat", ReadStatus::kOpenFailed, ""},
           {dir, ReadStatus::kOpenFailed, ""},
           {dir + "/fifo.dat", ReadStatus::kOpenFailed, ""},
           {"/dev/null", ReadStatus::kOpenFailed, ""},
           // A size of 0 that reads on: only the margin is read.
           {"/proc/self/maps", ReadStatus::kReadFailed, ""}}) {
    SCOPED_TRACE(path);
    std::vector<uint8_t> out = {1, 2, 3};
    FileStamp stamp, now;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(source.ReadWhole(path, out, stamp), status);
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

}  // namespace
}  // namespace midiflash
