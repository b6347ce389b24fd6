// midiflash: plays an update file (a Standard MIDI File) to a device over MIDI, in a window.
#include <QApplication>
#include <QIcon>
#include <cstdlib>

#include "AppDelegate.h"
#include "Sandbox.h"

int main(int argc, char** argv) {
  // The program only reads: from here on it may write nowhere but where the MIDI services need
  // to. The screenshot script's folder is the one exception, and only when it asks for pictures.
  std::vector<std::string> writable = midiflash::MidiServicePaths();
  if (const char* shots = std::getenv("MIDIFLASH_SCREENSHOT")) writable.push_back(shots);
  midiflash::RestrictWrites(writable);

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
