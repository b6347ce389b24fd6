// A main window on fakes, driven as a user would: real buttons clicked with the mouse, the
// destination list moved with the keyboard, ticks queued through the controller's own queueing
// function and run by the Qt event loop.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
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

// A tick timer whose calls the test makes: Fire() does what one timer call of the real hand-off
// does, through the queueing function the controller gave it.
class ManualTimer : public TickTimer {
 public:
  ManualTimer(MainWindowController::Post post, std::function<void()> tick)
      : post_(std::move(post)), tick_(std::move(tick)) {}
  void StartTimer() override {
    ++starts;
    running = true;
  }
  void StopTimer() override {
    ++stops;
    running = false;
  }
  void Fire(int n = 1) {
    for (int i = 0; i < n; ++i) post_(tick_);
  }
  const MainWindowController::Post& post() const { return post_; }

  int starts = 0, stops = 0;
  bool running = false;

 private:
  MainWindowController::Post post_;
  std::function<void()> tick_;
};

// Files: tracks of the given length in ticks at 480 ticks a quarter note (1 ms a tick at 120).
inline Bytes FileOfLength(uint32_t ticks) {
  TrackBuilder t;
  t.SysEx(0, {0x41, 0x10, 0xF7}).Event(0, {0x90, 0x3C, 0x40}).EndOfTrack(ticks);
  return Smf(0, 480, {t});
}
// Runs the event loop until `done` holds; false when `timeout_ms` passed first.
inline bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeout_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

inline Bytes NotAMidiFile() {
  return {'R', 'I', 'F', 'F', 0, 0, 0, 4, 'W', 'A', 'V', 'E'};
}

class WindowTest : public ::testing::Test {
 protected:
  // Builds the controller; the load step runs here. Call again to rebuild with other fakes.
  void Load() {
    wc_.reset();
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
  void SetUp() override { Load(); }
  void TearDown() override {
    // Ticks left in the queue must not outlive the window they were queued for.
    wc_.reset();
    Drain();
  }

  QWidget* window() { return wc_->window(); }
  QPushButton* Button(const char* name) { return window()->findChild<QPushButton*>(name); }
  QComboBox* Destinations() { return window()->findChild<QComboBox*>("midiOutDevice"); }
  QProgressBar* Progress() { return window()->findChild<QProgressBar*>("Progress"); }
  QString FileNameText() { return window()->findChild<QLineEdit*>("FileNameBox")->text(); }
  QString LocationText() { return window()->findChild<QLineEdit*>("LocationBox")->text(); }

  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  // Runs whatever the event loop has queued, the ticks included.
  static void Drain() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

  std::string WriteFile(const QString& name, const Bytes& bytes) {
    const std::string path = dir_.filePath(name).toStdString();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  // Answers the next open dialog with `path` (nothing: the user cancels), then clicks File Select.
  void Choose(std::optional<std::string> path) {
    chooser_.answer = std::move(path);
    Click("FileSel");
  }

  // Which controls are enabled, in the order FileSel, Update, Cancel, midiOutDevice.
  std::vector<bool> Enabled() {
    return {Button("FileSel")->isEnabled(), Button("Update")->isEnabled(),
            Button("Cancel")->isEnabled(), Destinations()->isEnabled()};
  }
  static std::vector<bool> Idle(bool update) { return {true, update, false, true}; }
  static std::vector<bool> Updating() { return {false, false, true, false}; }

  const Cmessage texts_;
  QTemporaryDir dir_;
  FakeMidi midi_;
  FakeChooser chooser_;
  ManualTimer* timer_ = nullptr;
  std::unique_ptr<MainWindowController> wc_;
};

}  // namespace midiflash::testing
