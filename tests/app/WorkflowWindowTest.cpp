// The workflow as the window shows it: every state of the table reached by clicking the real
// buttons, with the texts and enabled controls each state shows.
#include <QCoreApplication>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <thread>

#include "Log.h"
#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

class WorkflowWindowTest : public WindowTest {
 protected:
  void ExpectReady(const char* name) {
    EXPECT_EQ(FileNameText(), QString("<< %1 >>").arg(name));
    EXPECT_EQ(LocationText().toStdString(), texts_.CLICK_UPDATE);
    EXPECT_EQ(Enabled(), Idle(true));
    EXPECT_EQ(Progress()->value(), 0);
  }
  void ExpectEnded(const std::string& text) {
    EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
    EXPECT_EQ(LocationText().toStdString(), text);
    EXPECT_EQ(Enabled(), Idle(false));
    EXPECT_EQ(Progress()->value(), 0);
  }
  // Starts a run of `file` and lets `ms` of it pass before the first tick runs.
  void StartAndTickAfter(const Bytes& file, std::chrono::milliseconds ms) {
    Choose(WriteFile("run.dat", file));
    Click("Update");
    std::this_thread::sleep_for(ms);
    timer_->Fire();
    Drain();
  }
  bool ShowsPosition() {
    static const QRegularExpression kPosition(R"(^\[ {4}0m \d\ds\] \[ \d{8} / \d{8} ticks\]$)");
    return kPosition.match(LocationText()).hasMatch();
  }
};

TEST_F(WorkflowWindowTest, FileChoiceOutcomes) {
  std::vector<std::string> log;
  ScopedLogCapture capture([&](const std::string& line) { log.push_back(line); });

  // The dialog is cancelled: nothing changes.
  Choose(std::nullopt);
  EXPECT_EQ(chooser_.dir, QCoreApplication::applicationDirPath().toStdString());
  EXPECT_EQ(chooser_.type, "dat");
  EXPECT_EQ(log, (std::vector<std::string>{"OnFileSelClick", "curPath: " + chooser_.dir}));
  EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
  EXPECT_EQ(Enabled(), Idle(false));

  // Accepted: Ready, and the reset has already sent the System Exclusive at tick 0.
  const std::string good = WriteFile("a.dat", FileOfLength(1000));
  Choose(good);
  ExpectReady("a.dat");
  EXPECT_EQ(midi_.sent, std::vector<Bytes>{Bytes({0xF0, 0x41, 0x10, 0xF7})});

  Choose(std::nullopt);
  ExpectReady("a.dat");

  // Refused right after an accepted file: Update goes off again.
  Choose(WriteFile("bad.dat", NotAMidiFile()));
  EXPECT_EQ(FileNameText(), "<< bad.dat >>");
  EXPECT_EQ(LocationText(), "Cant play this SMF !");
  EXPECT_EQ(Enabled(), Idle(false));

  Choose(good);
  ExpectReady("a.dat");

  Choose(dir_.filePath("missing.dat").toStdString());
  EXPECT_EQ(FileNameText(), "<< missing.dat >>");
  EXPECT_EQ(LocationText(), "Open file error !");
  EXPECT_EQ(Enabled(), Idle(false));
  EXPECT_EQ(Progress()->value(), 0);
}

TEST_F(WorkflowWindowTest, UpdateDisablesItselfOnTheFirstClick) {
  Choose(WriteFile("a.dat", FileOfLength(100000)));
  Click("Update");
  Click("Update");
  EXPECT_EQ(timer_->starts, 1);
  EXPECT_EQ(Enabled(), Updating());
  EXPECT_EQ(LocationText(), "Start");
  EXPECT_EQ(FileNameText(), "<< a.dat >>");
  // A click on File Select while updating cannot reach the dialog.
  chooser_.dir.clear();
  Click("FileSel");
  EXPECT_TRUE(chooser_.dir.empty());
}

TEST_F(WorkflowWindowTest, EachQueuedTickAdvancesTheStatusLine) {
  StartAndTickAfter(FileOfLength(2000), 100ms);
  EXPECT_TRUE(ShowsPosition()) << LocationText().toStdString();
  const int first = Progress()->value();
  EXPECT_GT(first, 0);
  EXPECT_LT(first, 100);
  EXPECT_EQ(Enabled(), Updating());
  // The note at tick 0 waits for the first tick.
  EXPECT_EQ(midi_.sent.back(), Bytes({0x90, 0x3C, 0x40}));

  std::this_thread::sleep_for(100ms);
  timer_->Fire();
  Drain();
  EXPECT_GT(Progress()->value(), first);
}

TEST_F(WorkflowWindowTest, TimerCallsFromAnotherThreadRunOnTheWindowThreadOneEachInOrder) {
  constexpr int kCalls = 2000;
  std::vector<int> ran;
  std::vector<bool> onGuiThread;
  std::thread timerThread([&] {
    for (int i = 0; i < kCalls; ++i) {
      timer_->post()([&, i] {
        ran.push_back(i);
        onGuiThread.push_back(QThread::currentThread() == qApp->thread());
      });
    }
  });
  timerThread.join();
  Drain();
  ASSERT_EQ(ran.size(), size_t{kCalls});
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(ran[i], i);
  EXPECT_EQ(std::count(onGuiThread.begin(), onGuiThread.end(), true), kCalls);
}

TEST_F(WorkflowWindowTest, RunEndsCompletedAndTheSameFileCanBeChosenAgain) {
  StartAndTickAfter(FileOfLength(5), 30ms);
  ExpectEnded(texts_.COMPLETED);
  EXPECT_FALSE(timer_->running);

  // A tick queued before the stop writes the end again.
  timer_->Fire();
  Drain();
  ExpectEnded(texts_.COMPLETED);

  Click("Update");
  EXPECT_EQ(timer_->starts, 1);

  const size_t sentBefore = midi_.sent.size();
  Choose(dir_.filePath("run.dat").toStdString());
  ExpectReady("run.dat");
  // Read and reset anew: the System Exclusive at tick 0 goes out again.
  ASSERT_EQ(midi_.sent.size(), sentBefore + 1);
  EXPECT_EQ(midi_.sent.back(), Bytes({0xF0, 0x41, 0x10, 0xF7}));
}

TEST_F(WorkflowWindowTest, CancelWithNoTickQueuedKeepsTheLastStatusAndProgress) {
  StartAndTickAfter(FileOfLength(2000), 100ms);
  const QString lastText = LocationText();
  const int lastProgress = Progress()->value();
  ASSERT_TRUE(ShowsPosition());

  Click("Cancel");
  Drain();
  EXPECT_EQ(LocationText(), lastText);
  EXPECT_EQ(Progress()->value(), lastProgress);
  EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
  EXPECT_EQ(Enabled(), Idle(false));
  EXPECT_FALSE(timer_->running);
}

TEST_F(WorkflowWindowTest, TickQueuedBeforeCancelShowsTheCancelText) {
  Choose(WriteFile("a.dat", FileOfLength(100000)));
  Click("Update");
  timer_->Fire(3);  // what starting the real timer queues
  Click("Cancel");
  EXPECT_EQ(LocationText(), "Start");
  Drain();
  ExpectEnded(texts_.CANCELED);

  timer_->Fire();
  Drain();
  ExpectEnded(texts_.CANCELED);
}

}  // namespace
}  // namespace midiflash::testing
