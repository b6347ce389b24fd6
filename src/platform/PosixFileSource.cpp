#include "PosixFileSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace midiflash {
namespace {

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.dev = static_cast<uint64_t>(st.st_dev);
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<uint64_t>(st.st_size);
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

ReadStatus PosixFileSource::ReadWhole(const std::string& path, std::vector<uint8_t>& out,
                                      FileStamp& stamp) {
  // O_NONBLOCK: opening a FIFO with no writer, or a device, must not wait. Only a regular file is
  // an update file; everything else is answered at once, before anything is allocated.
  Fd f{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (f.fd < 0) return ReadStatus::kOpenFailed;
  struct stat st {};
  if (fstat(f.fd, &st) != 0) return ReadStatus::kReadFailed;
  if (!S_ISREG(st.st_mode)) return ReadStatus::kOpenFailed;
  if (static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max()) {
    return ReadStatus::kTooLarge;
  }

  // The image is what the reads returned, up to the size at open and a small margin for a file
  // that grows meanwhile; a file that grows past it (or reports a size of 0 and has no end, as
  // some /proc files do) is not a file to play.
  const size_t limit = static_cast<size_t>(st.st_size) + kGrowthMargin;
  std::vector<uint8_t> data(limit + 1);
  size_t have = 0;
  for (;;) {
    if (have > limit) return ReadStatus::kReadFailed;
    ssize_t n = read(f.fd, data.data() + have, data.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::kReadFailed;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (have > std::numeric_limits<uint32_t>::max()) return ReadStatus::kTooLarge;
  data.resize(have);
  stamp = StampOf(st);
  stamp.size = have;
  out.swap(data);
  return ReadStatus::kOk;
}

bool PosixFileSource::Stat(const std::string& path, FileStamp& stamp) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  stamp = StampOf(st);
  return true;
}

}  // namespace midiflash
