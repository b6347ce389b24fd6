// The window's open and save dialogs, behind an interface so that tests can answer them.
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
  // Runs a save dialog for a report, in folder `dir` with the name `name` proposed. Returns the
  // path chosen, or nothing when the user cancelled.
  virtual std::optional<std::string> RunSave(const std::string& dir, const std::string& name) = 0;
};

}  // namespace midiflash
