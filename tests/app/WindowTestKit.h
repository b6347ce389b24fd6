// A main window on fakes, driven as a user would: real buttons clicked with the mouse, ticks
// queued through the controller's own queueing function and run by the Qt event loop.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <functional>
#include <memory>

#include "CoreFakes.h"
#include "MainWindowController.h"
#include "SmfBuilder.h"

namespace midiflash::testing {

// A tick timer whose calls the test makes: Fire() does what one call of the real timer does
// through the hand-off, with the queueing function the controller gave it.
class ManualTimer : public TickTimer {
 public:
  ManualTimer(MainWindowController::Post post, std::function<void()> tick)
      : post_(std::move(post)), tick_(std::move(tick)) {}
  void StartTimer() override { ++starts, running = true; }
  void StopTimer() override { running = false; }
  void Fire(int n = 1) {
    for (int i = 0; i < n; ++i) post_(tick_);
  }
  int starts = 0;
  bool running = false;

 private:
  MainWindowController::Post post_;
  std::function<void()> tick_;
};

// One track of the given length in ticks at 480 ticks a quarter note (1 ms a tick at 120 bpm).
inline Bytes FileOfLength(uint32_t ticks) {
  TrackBuilder t;
  t.SysEx(0, {0x41, 0x10, 0xF7}).Event(0, {0x90, 0x3C, 0x40}).EndOfTrack(ticks);
  return Smf(0, 480, {t});
}

inline std::string WriteFile(const QTemporaryDir& dir, const QString& name, const Bytes& bytes) {
  const std::string path = dir.filePath(name).toStdString();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MainWindowController::Parts parts;
    parts.midi = &midi_;
    parts.chooser = &chooser_;
    parts.timer = [this](MainWindowController::Post post, std::function<void()> tick) {
      auto t = std::make_unique<ManualTimer>(std::move(post), std::move(tick));
      timer_ = t.get();
      return t;
    };
    wc_ = std::make_unique<MainWindowController>(std::move(parts));
    wc_->showWindow();
  }
  void TearDown() override {
    wc_.reset();
    Drain();  // ticks left in the queue must not outlive their window
  }

  QWidget* window() { return wc_->window(); }
  QPushButton* Button(const char* name) { return window()->findChild<QPushButton*>(name); }
  QComboBox* Destinations() { return window()->findChild<QComboBox*>("midiOutDevice"); }
  QProgressBar* Progress() { return window()->findChild<QProgressBar*>("Progress"); }
  QLineEdit* Box(const char* name) { return window()->findChild<QLineEdit*>(name); }
  std::string FileNameText() { return Box("FileNameBox")->text().toStdString(); }
  std::string LocationText() { return Box("LocationBox")->text().toStdString(); }

  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  static void Drain() { QCoreApplication::processEvents(QEventLoop::AllEvents); }
  // Answers the next open dialog with `path` (nothing: the user cancels), then clicks File Select.
  void Choose(std::optional<std::string> path) {
    chooser_.answer = std::move(path);
    Click("FileSel");
  }
  std::string Write(const QString& name, const Bytes& bytes) {
    return WriteFile(dir_, name, bytes);
  }
  Controls Enabled() {
    return {Button("FileSel")->isEnabled(), Button("Update")->isEnabled(),
            Button("Cancel")->isEnabled(), Destinations()->isEnabled()};
  }

  QTemporaryDir dir_;
  FakeMidi midi_;
  FakeChooser chooser_;
  ManualTimer* timer_ = nullptr;
  std::unique_ptr<MainWindowController> wc_;
};

}  // namespace midiflash::testing
