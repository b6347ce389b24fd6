// The workflow as the window shows it, reached by clicking the real buttons: the texts and
// enabled controls of each state, ticks queued onto the window's thread, closing the window.
#include <QRegularExpression>
#include <QThread>

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
  void ExpectRefused(const char* name, const char* text) {
    EXPECT_EQ(FileNameText(), QString("<< %1 >>").arg(name));
    EXPECT_EQ(LocationText(), text);
    EXPECT_EQ(Enabled(), Idle(false));
  }
  bool ShowsPosition() {
    static const QRegularExpression kPosition(R"(^\[ {4}0m \d\ds\] \[ \d{8} / \d{8} ticks\]$)");
    return kPosition.match(LocationText()).hasMatch();
  }
};

TEST_F(WorkflowWindowTest, FileChoiceOutcomes) {
  Choose(std::nullopt);  // the dialog cancelled: nothing changes
  EXPECT_EQ(chooser_.dir, QCoreApplication::applicationDirPath().toStdString());
  EXPECT_EQ(chooser_.type, "dat");
  EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
  EXPECT_EQ(Enabled(), Idle(false));

  // Accepted: Ready, and the reset has already sent the System Exclusive at tick 0.
  Choose(Write("a.dat", FileOfLength(1000)));
  ExpectReady("a.dat");
  EXPECT_EQ(midi_.sent, std::vector<Bytes>{Bytes({0xF0, 0x41, 0x10, 0xF7})});
  Choose(std::nullopt);
  ExpectReady("a.dat");

  // Refused right after an accepted file: Update goes off again.
  Choose(Write("bad.dat", {'R', 'I', 'F', 'F', 0, 0, 0, 4, 'W', 'A', 'V', 'E'}));
  ExpectRefused("bad.dat", "Cant play this SMF !");
  Choose(dir_.filePath("missing.dat").toStdString());
  ExpectRefused("missing.dat", "Open file error !");
}

TEST_F(WorkflowWindowTest, UpdateDisablesItselfOnTheFirstClick) {
  Choose(Write("a.dat", FileOfLength(100000)));
  Click("Update");
  Click("Update");
  EXPECT_EQ(timer_->starts, 1);
  EXPECT_EQ(Enabled(), Updating());
  EXPECT_EQ(LocationText(), "Start");
  EXPECT_EQ(FileNameText(), "<< a.dat >>");
}

TEST_F(WorkflowWindowTest, QueuedTicksAdvanceTheStatusLineAndCancelKeepsTheLastOne) {
  StartAndTickAfter(2000, 100ms);
  EXPECT_TRUE(ShowsPosition()) << LocationText().toStdString();
  const int first = Progress()->value();
  EXPECT_GT(first, 0);
  EXPECT_LT(first, 100);
  EXPECT_EQ(Enabled(), Updating());
  EXPECT_EQ(midi_.sent.back(), Bytes({0x90, 0x3C, 0x40}));  // the note at tick 0

  std::this_thread::sleep_for(100ms);
  timer_->Fire();
  Drain();
  const QString lastText = LocationText();
  const int lastProgress = Progress()->value();
  EXPECT_TRUE(ShowsPosition()) << lastText.toStdString();
  EXPECT_GT(lastProgress, first);

  // No tick is queued: Cancel leaves the status line and progress as the last tick left them.
  Click("Cancel");
  Drain();
  EXPECT_EQ(LocationText(), lastText);
  EXPECT_EQ(Progress()->value(), lastProgress);
  EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
  EXPECT_EQ(Enabled(), Idle(false));
  EXPECT_FALSE(timer_->running);
}

TEST_F(WorkflowWindowTest, TickQueuedBeforeCancelShowsTheCancelText) {
  Choose(Write("a.dat", FileOfLength(100000)));
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

TEST_F(WorkflowWindowTest, TimerCallsFromAnotherThreadRunOnTheWindowThreadOneEachInOrder) {
  constexpr int kCalls = 2000;
  std::vector<int> ran;
  int onGuiThread = 0;
  std::thread timerThread([&] {
    for (int i = 0; i < kCalls; ++i) {
      timer_->post()([&, i] {
        ran.push_back(i);
        onGuiThread += QThread::currentThread() == qApp->thread();
      });
    }
  });
  timerThread.join();
  EXPECT_TRUE(ran.empty());
  Drain();
  ASSERT_EQ(ran.size(), size_t{kCalls});
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(ran[i], i);
  EXPECT_EQ(onGuiThread, kCalls);
}

TEST_F(WorkflowWindowTest, RunEndsCompletedAndTheSameFileCanBeChosenAgain) {
  StartAndTickAfter(5, 30ms);
  ExpectEnded(texts_.COMPLETED);
  EXPECT_FALSE(timer_->running);
  timer_->Fire();  // a tick queued before the stop writes the end again
  Drain();
  ExpectEnded(texts_.COMPLETED);
  Click("Update");
  EXPECT_EQ(timer_->starts, 1);

  // Read and reset anew: the System Exclusive at tick 0 goes out again.
  const size_t sentBefore = midi_.sent.size();
  Choose(dir_.filePath("run.dat").toStdString());
  ExpectReady("run.dat");
  ASSERT_EQ(midi_.sent.size(), sentBefore + 1);
  EXPECT_EQ(midi_.sent.back(), Bytes({0xF0, 0x41, 0x10, 0xF7}));
}

TEST_F(WorkflowWindowTest, ClosingOutsideAnUpdateAsksNothing) {
  int asked = 0;
  wc_->SetStopQuestion([&] { return ++asked, true; });
  Choose(Write("a.dat", FileOfLength(1000)));
  EXPECT_TRUE(window()->close());
  EXPECT_FALSE(window()->isVisible());
  EXPECT_EQ(asked, 0);
}

TEST_F(WorkflowWindowTest, ClosingDuringAnUpdateAsksDecliningKeepsItAcceptingCancelsIt) {
  int asked = 0;
  bool answer = false;
  wc_->SetStopQuestion([&] { return ++asked, answer; });
  StartAndTickAfter(100000, 0ms);

  EXPECT_FALSE(window()->close());
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(window()->isVisible());
  EXPECT_TRUE(timer_->running);
  const uint32_t before = wc_->workflow().state().nTotalClock;
  std::this_thread::sleep_for(20ms);
  timer_->Fire();
  Drain();
  EXPECT_EQ(Enabled(), Updating());
  EXPECT_GT(wc_->workflow().state().nTotalClock, before);  // ticks still play

  answer = true;
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(window()->isVisible());
  EXPECT_FALSE(timer_->running);
  EXPECT_EQ(timer_->stops, 1);
  EXPECT_EQ(Enabled(), Idle(false));
}

}  // namespace
}  // namespace midiflash::testing
