// midiflash: plays an update file (a Standard MIDI File) to a device over MIDI, in a window.
#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "AppDelegate.h"
#include "Sandbox.h"
#include "SystemLog.h"
#include "Version.h"

namespace {

enum class Parsed { kRun, kDone, kUsageError };

// The window takes no arguments of its own; Qt's own (-platform, -style, ...) are gone from
// `arguments` by the time a QApplication hands them over.
Parsed ParseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Plays an update file (a Standard MIDI File, extension .dat) to a device over MIDI, in a "
      "window.\nSee midiflash(1); midiflash-cli does the same without a window.");
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const bool parsed = parser.parse(arguments);
  // With Qt's own options, which only Qt's help lists; it exits.
  if (parser.isSet("help-all")) parser.process(arguments);
  if (parser.isSet(help)) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    return Parsed::kDone;
  }
  if (parser.isSet(version)) {
    std::printf("midiflash %s\n", midiflash::kVersion);
    return Parsed::kDone;
  }
  QString error = parsed ? QString() : parser.errorText();
  if (parsed && !parser.positionalArguments().isEmpty()) {
    error = QString("unexpected argument '%1'").arg(parser.positionalArguments().first());
  }
  if (error.isEmpty()) return Parsed::kRun;
  std::fprintf(stderr, "midiflash: %s\nTry 'midiflash --help'.\n", qPrintable(error));
  return Parsed::kUsageError;
}

// --help and --version need no display, so they are answered before the window system is
// opened, which would fail without one.
bool AsksHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    for (const char* word : {"-h", "--help", "-v", "--version", "--help-all"}) {
      if (std::strcmp(argv[i], word) == 0) return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  midiflash::UseSystemLog();
  // The program only reads: from here on it may write nowhere but where the MIDI services need
  // to. The screenshot script's folder is the one exception, and only when it asks for pictures.
  std::vector<std::string> writable = midiflash::MidiServicePaths();
  if (const char* shots = std::getenv("MIDIFLASH_SCREENSHOT")) writable.push_back(shots);
  midiflash::RestrictWrites(writable);

  QCoreApplication::setApplicationName("midiflash");
  QCoreApplication::setApplicationVersion(midiflash::kVersion);
  if (AsksHelpOrVersion(argc, argv)) {
    QCoreApplication core(argc, argv);
    return ParseCommandLine(core.arguments()) == Parsed::kUsageError ? 2 : 0;
  }

  QApplication app(argc, argv);
  const Parsed parsed = ParseCommandLine(app.arguments());
  if (parsed != Parsed::kRun) return parsed == Parsed::kUsageError ? 2 : 0;
  QApplication::setDesktopFileName("midiflash");
  QApplication::setWindowIcon(QIcon::fromTheme("midiflash"));

  midiflash::AppDelegate delegate;
  // Queued, so that the window is made once the event loop is running.
  QMetaObject::invokeMethod(&delegate, &midiflash::AppDelegate::applicationDidFinishLaunching,
                            Qt::QueuedConnection);
  return app.exec();
}
