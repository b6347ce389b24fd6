// The dialogs of the window: a Qt file dialog for one existing update file, and one to save a
// report as.
#pragma once

#include <QFileDialog>

#include "FileChooser.h"

namespace midiflash {

class QtFileChooser : public FileChooser {
 public:
  // The dialog is modal to `parent`.
  explicit QtFileChooser(QWidget* parent);

  void SetDirectory(const std::string& dir) override;
  std::string Directory() const override;
  std::optional<std::string> RunModal() override;
  std::optional<std::string> RunSave(const std::string& dir, const std::string& name) override;

 private:
  QFileDialog dialog_;
  QWidget* parent_;
};

}  // namespace midiflash
