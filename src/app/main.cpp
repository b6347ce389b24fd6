// midiflash: plays an update file (a Standard MIDI File) to a device over MIDI, in a window.
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "AppDelegate.h"
#include "Sandbox.h"
#include "SystemLog.h"
#include "Version.h"

namespace {

enum class Parsed { kRun, kDone, kUsageError };

// The window takes one optional argument, the file to open; Qt's own options (-platform, -style,
// ...) are gone from `arguments` by the time a QApplication hands them over.
Parsed ParseCommandLine(const QStringList& arguments, QString* file) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Plays an update file (a Standard MIDI File, .dat or .mid, or a System Exclusive file, "
      ".syx) to a device over MIDI, in a window.\nSee midiflash(1); midiflash-cli does the same "
      "without a window.");
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version({"v", "V", "version"}, "Displays version information.");
  parser.addOption(version);
  parser.addPositionalArgument("FILE", "The update file to open, as if chosen with File Select.",
                               "[FILE]");
  const bool parsed = parser.parse(arguments);
  // With Qt's own options, which only Qt's help lists; it exits.
  if (parser.isSet("help-all")) parser.process(arguments);
  if (parsed && parser.isSet(help)) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    return Parsed::kDone;
  }
  if (parsed && parser.isSet(version)) {
    std::printf("midiflash %s\n", midiflash::kVersion);
    return Parsed::kDone;
  }
  QString error = parsed ? QString() : parser.errorText();
  const QStringList files = parser.positionalArguments();
  if (parsed && files.size() > 1) error = QString("unexpected argument '%1'").arg(files[1]);
  if (error.isEmpty()) {
    if (!files.isEmpty()) *file = QFileInfo(files[0]).absoluteFilePath();
    return Parsed::kRun;
  }
  std::fprintf(stderr, "midiflash: %s\nTry 'midiflash --help'.\n", qPrintable(error));
  return Parsed::kUsageError;
}

// --help, --version and a wrong option need no display, so they are answered before the window
// system is opened, which would fail without one.
bool NeedsNoWindow(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (argv[i][0] == '-' && argv[i][1] != '\0') return true;
  }
  return false;
}

// Qt ends a program that cannot open its window system with several lines of warnings, a fatal
// message that suggests reinstalling, and an abort; a user without a display gets one line with
// the first reason and the status of a usage error instead. Until the window system is open, the
// warnings are kept rather than printed.
QString g_first_warning;
void OnQtStartMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type != QtFatalMsg) {
    if (g_first_warning.isEmpty()) g_first_warning = text.section('\n', 0, 0);
    return;
  }
  QString reason = g_first_warning.isEmpty() ? text.section('\n', 0, 0) : g_first_warning;
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    reason = "neither DISPLAY nor WAYLAND_DISPLAY is set";
  }
  std::fprintf(stderr,
               "midiflash: cannot open a window (%s); midiflash-cli plays update files without "
               "one\n",
               qPrintable(reason));
  std::_Exit(2);
}

// A folder of ours under the XDG base folder `variable` names (else under HOME's `fallback`),
// made now: after the write restriction no folder can be made. Empty when it cannot be.
std::string OwnFolder(const char* variable, const char* fallback, const char* below) {
  const char* base = std::getenv(variable);
  const char* home = std::getenv("HOME");
  std::filesystem::path dir;
  if (base && base[0] == '/') {
    dir = base;
  } else if (home && home[0] == '/') {
    dir = std::filesystem::path(home) / fallback;
  } else {
    return "";
  }
  dir /= below;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return ec ? "" : dir.string();
}

}  // namespace

int main(int argc, char** argv) {
  midiflash::UseSystemLog(true);
  // Where the destination chosen last is kept, and where reports are saved: the folders the window
  // writes to.
  const std::string config = OwnFolder("XDG_CONFIG_HOME", ".config", "midiflash");
  const std::string settings = config.empty() ? "" : config + "/midiflash.conf";
  const std::string reports = OwnFolder("XDG_DATA_HOME", ".local/share", "midiflash/reports");
  // The program only reads update files: from here on it may write nowhere but where the MIDI
  // services need to, its settings folder and its reports folder.
  std::vector<std::string> writable = midiflash::MidiServicePaths();
  for (const std::string& folder : {config, reports}) {
    if (!folder.empty()) writable.push_back(folder);
  }
  midiflash::RestrictWrites(writable);

  QCoreApplication::setApplicationName("midiflash");
  QCoreApplication::setApplicationVersion(midiflash::kVersion);
  QString file;
  if (NeedsNoWindow(argc, argv)) {
    QCoreApplication core(argc, argv);
    const Parsed parsed = ParseCommandLine(core.arguments(), &file);
    if (parsed != Parsed::kRun) return parsed == Parsed::kUsageError ? 2 : 0;
  }

  qInstallMessageHandler(OnQtStartMessage);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  const Parsed parsed = ParseCommandLine(app.arguments(), &file);
  if (parsed != Parsed::kRun) return parsed == Parsed::kUsageError ? 2 : 0;
  QApplication::setDesktopFileName("midiflash");
  QApplication::setWindowIcon(QIcon::fromTheme("midiflash"));

  midiflash::AppDelegate delegate(settings, reports, QFile::encodeName(file).toStdString());
  // Queued, so that the window is made once the event loop is running.
  QMetaObject::invokeMethod(&delegate, &midiflash::AppDelegate::applicationDidFinishLaunching,
                            Qt::QueuedConnection);
  return app.exec();
}
