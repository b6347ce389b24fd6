// The update file on the file system.
#pragma once

#include "FileSource.h"

namespace midiflash {

// Through open(O_RDONLY), fstat and read.
class PosixFileSource : public FileSource {
 public:
  ReadStatus ReadWhole(const std::string& path, std::vector<uint8_t>& out,
                       FileStamp& stamp) override;
  bool Stat(const std::string& path, FileStamp& stamp) override;
};

}  // namespace midiflash
