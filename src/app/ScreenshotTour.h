// Pictures of the window for the documentation, taken by the program itself: with
// MIDIFLASH_SCREENSHOT=<folder> set, the window loads one file (MIDIFLASH_SCREENSHOT_FILE, by
// default examples/demo.dat), saves window-ready.png, starts the update, saves
// window-updating.png a moment later, cancels and quits. Only scripts/screenshots uses it.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "FileChooser.h"

namespace midiflash {

class MainWindowController;

class ScreenshotTour : public QObject {
  Q_OBJECT

 public:
  // The tour the environment asks for, or null when it asks for none.
  static std::unique_ptr<ScreenshotTour> FromEnvironment();
  ~ScreenshotTour() override;

  // The open dialog's stand-in, which answers with the tour's file; give it to the controller.
  FileChooser* chooser() const { return chooser_.get(); }
  // Drives the shown window of `wc` through the tour; the application quits at its end.
  void Start(MainWindowController& wc);

 private:
  ScreenshotTour(QString outDir, std::string file, int updatingDelayMs);
  void Click(const char* button);
  void Save(const char* name);
  void Fail(const QString& why);

  MainWindowController* wc_ = nullptr;
  QString out_dir_;
  int updating_delay_ms_;
  std::unique_ptr<FileChooser> chooser_;
};

}  // namespace midiflash
