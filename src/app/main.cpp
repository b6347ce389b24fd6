// midiflash: plays an update file (a Standard MIDI File) to a device over MIDI, in a window.
#include <QApplication>
#include <QIcon>

#include "AppDelegate.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("midiflash");
  QApplication::setDesktopFileName("midiflash");
  QApplication::setWindowIcon(QIcon::fromTheme("midiflash"));

  midiflash::AppDelegate delegate;
  // Queued, so that the window is made once the event loop is running.
  QMetaObject::invokeMethod(&delegate, &midiflash::AppDelegate::applicationDidFinishLaunching,
                            Qt::QueuedConnection);
  return app.exec();
}
