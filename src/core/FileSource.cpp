#include "FileSource.h"

#include <cerrno>
#include <cstring>

namespace midiflash {

std::string ReadFailureReason(const FileRead& read) {
  switch (read.status) {
    case ReadStatus::kOk:
      return "";
    case ReadStatus::kNotRegularFile:
      return read.error == EISDIR ? std::strerror(EISDIR) : "not a regular file";
    case ReadStatus::kTooLarge:
      return "larger than 4 GiB";
    case ReadStatus::kReadFailed:
      if (read.error == 0) return "the file kept growing while it was read";
      break;
    case ReadStatus::kOpenFailed:
      break;
  }
  return std::strerror(read.error);
}

}  // namespace midiflash
