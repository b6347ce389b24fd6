#include "PosixFileSource.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

constexpr size_t kChunkBytes = size_t{64} << 10;

// Faults in the pages that will hold a large image in one call, in huge pages where the system
// allows them, instead of one page fault per 4 KiB as the copy first touches each page: on a
// 16 MiB file that was most of the time spent reading. Best effort: on a kernel without these
// calls the pages fault in one by one as before.
void PrepareForWriting(uint8_t* start, size_t bytes) {
  if (bytes < (size_t{1} << 20)) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = reinterpret_cast<uintptr_t>(start) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes + page - 1) & ~(page - 1);
  void* at = reinterpret_cast<void*>(first);
#ifdef MADV_HUGEPAGE
  madvise(at, end - first, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  madvise(at, end - first, MADV_POPULATE_WRITE);
#endif
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

FileRead PosixFileSource::ReadWhole(const std::string& path, std::vector<uint8_t>& out,
                                    FileStamp& stamp) {
  // O_NONBLOCK: opening a FIFO with no writer, or a device, must not wait. Only a regular file is
  // an update file; everything else is answered at once, before anything is allocated.
  Fd f{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (f.fd < 0) return {ReadStatus::kOpenFailed, errno};
  struct stat st {};
  if (fstat(f.fd, &st) != 0) return {ReadStatus::kReadFailed, errno};
  if (!S_ISREG(st.st_mode)) {
    return {ReadStatus::kNotRegularFile, S_ISDIR(st.st_mode) ? EISDIR : 0};
  }
  if (static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max()) {
    return {ReadStatus::kTooLarge, 0};
  }

  // The image is what the reads returned, up to the size at open and a small margin for a file
  // that grows meanwhile; a file that grows past it (or reports a size of 0 and has no end, as
  // some /proc files do) is not a file to play.
  const size_t limit = static_cast<size_t>(st.st_size) + kGrowthMargin;
  std::vector<uint8_t> data;
  data.reserve(limit + 1);
  PrepareForWriting(data.data(), data.capacity());
  // Through a small buffer and appended: sizing the vector first would zero every byte only for
  // read() to overwrite it.
  uint8_t chunk[kChunkBytes];
  for (;;) {
    if (data.size() > limit) return {ReadStatus::kReadFailed, 0};
    ssize_t n = read(f.fd, chunk, std::min(sizeof chunk, limit + 1 - data.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      return {ReadStatus::kReadFailed, errno};
    }
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  if (data.size() > std::numeric_limits<uint32_t>::max()) return {ReadStatus::kTooLarge, 0};
  stamp = StampOf(st);
  stamp.size = data.size();
  out.swap(data);
  return {ReadStatus::kOk, 0};
}

bool PosixFileSource::Stat(const std::string& path, FileStamp& stamp) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  stamp = StampOf(st);
  return true;
}

}  // namespace midiflash
