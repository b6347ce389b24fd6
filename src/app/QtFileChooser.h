// The open dialog of the window: a Qt file dialog for one existing update file.
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

 private:
  QFileDialog dialog_;
};

}  // namespace midiflash
