// The update file on the file system.
#pragma once

#include "FileSource.h"

namespace midiflash {

// Through open(O_RDONLY | O_NONBLOCK), fstat and read. Only regular files are read: a FIFO, a
// device node or a folder gives kNotRegularFile at once. A file that grows by more than
// kGrowthMargin bytes while it is read gives kReadFailed with error 0.
class PosixFileSource : public FileSource {
 public:
  static constexpr size_t kGrowthMargin = 4096;

  FileRead ReadWhole(const std::string& path, std::vector<uint8_t>& out, FileStamp& stamp) override;
  bool Stat(const std::string& path, FileStamp& stamp) override;
};

}  // namespace midiflash
