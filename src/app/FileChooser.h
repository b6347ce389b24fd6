// The window's open dialog, behind an interface so that tests can answer it.
#pragma once

#include <optional>
#include <string>

namespace midiflash {

class FileChooser {
 public:
  virtual ~FileChooser() = default;
  // Folder the dialog starts in.
  virtual void SetDirectory(const std::string& dir) = 0;
  // The starting folder as the dialog reports it back.
  virtual std::string Directory() const = 0;
  // Runs the dialog, which offers update files. Returns the chosen file's path, or nothing when
  // the user cancelled.
  virtual std::optional<std::string> RunModal() = 0;
};

}  // namespace midiflash
