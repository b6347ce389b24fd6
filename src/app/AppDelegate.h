// The application's delegate: once the event loop runs, it creates the one main window
// controller and shows its window. The controller lives until the application ends.
#pragma once

#include <QObject>
#include <memory>

#include "MainWindowController.h"

namespace midiflash {

class ScreenshotTour;

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  AppDelegate();
  ~AppDelegate() override;

  // The main window's controller; null until launching has finished.
  MainWindowController* mainWC() const { return mainWC_.get(); }

 public slots:
  // Runs once, from the event loop's first turn.
  void applicationDidFinishLaunching();

 private:
  // The tour's file chooser must outlive the controller that uses it.
  std::unique_ptr<ScreenshotTour> tour_;
  std::unique_ptr<MainWindowController> mainWC_;
};

}  // namespace midiflash
