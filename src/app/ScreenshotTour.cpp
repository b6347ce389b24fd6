#include "ScreenshotTour.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "MainWindowController.h"

namespace midiflash {
namespace {

// Time for the window to be laid out and painted before it is grabbed.
constexpr int kSettleMs = 400;

}  // namespace

std::unique_ptr<ScreenshotTour> ScreenshotTour::FromEnvironment() {
  const QString dir = qEnvironmentVariable("MIDIFLASH_SCREENSHOT");
  if (dir.isEmpty()) return nullptr;
  QString file = qEnvironmentVariable("MIDIFLASH_SCREENSHOT_FILE", "examples/demo.dat");
  bool ok = false;
  int delay = qEnvironmentVariableIntValue("MIDIFLASH_SCREENSHOT_DELAY_MS", &ok);
  if (!ok || delay <= 0) delay = 2500;
  return std::unique_ptr<ScreenshotTour>(
      new ScreenshotTour(dir, QFile::encodeName(QDir(file).absolutePath()).toStdString(), delay));
}

ScreenshotTour::ScreenshotTour(QString outDir, std::string file, int updatingDelayMs)
    : out_dir_(std::move(outDir)),
      updating_delay_ms_(updatingDelayMs),
      chooser_(std::make_unique<FixedFileChooser>(std::move(file))) {}

ScreenshotTour::~ScreenshotTour() = default;

void ScreenshotTour::Start(MainWindowController& wc) {
  wc_ = &wc;
  QTimer::singleShot(kSettleMs, this, [this] {
    Click("FileSel");
    if (wc_->workflow().phase() != Phase::kReady) {
      return Fail("the file was not accepted: " +
                  QString::number(wc_->workflow().lastLoadResult()));
    }
    QTimer::singleShot(kSettleMs, this, [this] {
      Save("window-ready.png");
      Click("Update");
      QTimer::singleShot(updating_delay_ms_, this, [this] {
        if (!wc_->workflow().running()) return Fail("the update ended too soon");
        Save("window-updating.png");
        Click("Cancel");
        QTimer::singleShot(kSettleMs, qApp, &QCoreApplication::quit);
      });
    });
  });
}

void ScreenshotTour::Click(const char* button) {
  if (auto* b = wc_->window()->findChild<QPushButton*>(button)) b->click();
}

void ScreenshotTour::Save(const char* name) {
  const QString path = QDir(out_dir_).filePath(name);
  if (!wc_->window()->grab().save(path)) return Fail("cannot write " + path);
  std::fprintf(stderr, "saved %s\n", qPrintable(path));
}

void ScreenshotTour::Fail(const QString& why) {
  std::fprintf(stderr, "screenshot: %s\n", qPrintable(why));
  if (wc_->workflow().running()) Click("Cancel");
  QCoreApplication::exit(1);
}

}  // namespace midiflash
