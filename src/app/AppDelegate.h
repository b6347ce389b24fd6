// The application's delegate: once the event loop runs, it creates the one main window
// controller, shows its window and opens the file named on the command line, if any. The
// controller lives until the application ends.
#pragma once

#include <QObject>
#include <memory>
#include <string>

#include "MainWindowController.h"

namespace midiflash {

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  // `settingsFile`: where the chosen destination is remembered; `reportsFolder`: where reports are
  // saved unless the user chooses elsewhere; `file`: opened as if chosen in the dialog, when not
  // empty.
  AppDelegate(std::string settingsFile, std::string reportsFolder, std::string file);
  ~AppDelegate() override;

 public slots:
  // Runs once, from the event loop's first turn.
  void applicationDidFinishLaunching();

 private:
  std::string settings_file_;
  std::string reports_folder_;
  std::string file_;
  std::unique_ptr<MainWindowController> main_;
};

}  // namespace midiflash
