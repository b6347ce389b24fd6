// Reading the update file: the whole file in one piece, and a stamp that tells whether it may have
// changed since. PosixFileSource (src/platform) reads the file system; tests use a fake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace midiflash {

// Identity and version of a file as the file system reports it.
struct FileStamp {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

enum class ReadStatus {
  kOk,
  kOpenFailed,      // the file cannot be opened for reading (`error` says why)
  kNotRegularFile,  // a folder, a device or a pipe: never read (`error` is EISDIR for a folder)
  kReadFailed,      // it opened, but reading it failed (`error`), or it grew while being read (0)
  kTooLarge,        // larger than 32-bit offsets can address; nothing was read
};

struct FileRead {
  ReadStatus status = ReadStatus::kOk;
  int error = 0;  // errno of the failed call, 0 when there is none
};

// The system's reason for a failed read, in words ("No such file or directory", ...).
std::string ReadFailureReason(const FileRead& read);

class FileSource {
 public:
  virtual ~FileSource() = default;
  // Reads the whole file into `out` (replacing its content) and its stamp into `stamp`.
  // On any status but kOk, `out` and `stamp` are left unchanged.
  virtual FileRead ReadWhole(const std::string& path, std::vector<uint8_t>& out,
                             FileStamp& stamp) = 0;
  // The file's current stamp. Returns false when the file cannot be looked at.
  virtual bool Stat(const std::string& path, FileStamp& stamp) = 0;
};

}  // namespace midiflash
