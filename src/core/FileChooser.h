// The open dialog, behind an interface so that tests can answer it.
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
  // Only files with this extension (without the dot) are offered.
  virtual void SetAllowedFileType(const std::string& ext) = 0;
  // Runs the dialog. Returns the chosen file's path, or nothing when the user cancelled.
  virtual std::optional<std::string> RunModal() = 0;
};

// Answers every dialog with one file, as a user picking it would: the command line's file
// argument, or the file the screenshot script names.
class FixedFileChooser : public FileChooser {
 public:
  explicit FixedFileChooser(std::string file) : file_(std::move(file)) {}
  void SetDirectory(const std::string& dir) override { dir_ = dir; }
  std::string Directory() const override { return dir_; }
  void SetAllowedFileType(const std::string&) override {}
  std::optional<std::string> RunModal() override { return file_; }

 private:
  std::string file_;
  std::string dir_;
};

}  // namespace midiflash
