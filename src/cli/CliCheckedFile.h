// An update file loaded for the commands that inspect it, the way the workflow loads the file the
// user chose: read whole, then checked.
#pragma once

#include <cstdint>
#include <string>

#include "FileCheck.h"
#include "PlayerState.h"

namespace midiflash {

struct CheckedFile {
  PlayerState state;
  int32_t result = kCheckPlayable;
  CheckFailure failure;

  // Whether the check got as far as reading format, track count and division.
  bool HeaderRead() const;
  // Tracks whose scan reached End of Track: every track of a playable file, the tracks before the
  // failing one of a file refused inside its tracks, else none.
  int32_t ScannedTracks() const;
};

enum class LoadOutcome {
  kChecked,     // read and checked; `result` says whether it plays
  kOpenFailed,  // the file cannot be opened
  kReadFailed,  // it opened, but reading it failed
};

// Reads `path` whole and checks it into `file`. A file too large for 32-bit offsets is not read
// and counts as checked with kCheckTooLarge. On kOpenFailed and kReadFailed `file` holds no check.
LoadOutcome LoadCheckedFile(const std::string& path, CheckedFile& file);

// The check result as people read it: the reason, and for a refusal where it was found, e.g.
// which track chunk was expected at which byte offset. Tracks count from 0.
std::string ExplainCheckResult(const CheckedFile& file);

// "Open file error !" with the path and what went wrong, for kOpenFailed and kReadFailed.
std::string OpenErrorText(const std::string& path, LoadOutcome outcome);

}  // namespace midiflash
