// The window as the workflow's view, reached by clicking the real buttons: ticks queued onto the
// window's thread, what each phase shows, the warning of a run that may be incomplete, closing.
#include <QMessageBox>
#include <QRegularExpression>
#include <QThread>
#include <thread>

#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

using WorkflowWindowTest = WindowTest;

bool IsPosition(const std::string& text) {
  static const QRegularExpression kPosition(R"(^\[ {4}0m \d\ds\] \[ \d{8} / \d{8} ticks\]$)");
  return kPosition.match(QString::fromStdString(text)).hasMatch();
}

TEST_F(WorkflowWindowTest, TicksFromTheTimerThreadRunOnTheWindowThreadInOrder) {
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

TEST_F(WorkflowWindowTest, ChooseUpdateTicksAndCancelShowWhatTheWorkflowDecides) {
  Choose(Write("bad.dat", {'R', 'I', 'F', 'F', 0, 0, 0, 4, 'W', 'A', 'V', 'E'}));
  EXPECT_EQ(FileNameText(), "<< bad.dat >>");
  EXPECT_EQ(LocationText(), "Cant play this SMF !");
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kRefused));

  Choose(Write("a.dat", FileOfLength(2000)));
  EXPECT_EQ(FileNameText(), "<< a.dat >>");
  EXPECT_EQ(LocationText(), Cmessage().CLICK_UPDATE);
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kReady));
  EXPECT_EQ(midi_.sent, std::vector<Bytes>{Bytes({0xF0, 0x41, 0x10, 0xF7})});

  Click("Update");
  Click("Update");
  EXPECT_EQ(timer_->starts, 1);
  EXPECT_EQ(LocationText(), "Start");
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kUpdating));
  std::this_thread::sleep_for(60ms);
  timer_->Fire();
  Drain();
  EXPECT_TRUE(IsPosition(LocationText())) << LocationText();
  const int progress = Progress()->value();
  EXPECT_GT(progress, 0);

  // No tick queued: Cancel leaves the status line and progress as the last tick left them.
  Click("Cancel");
  Drain();
  EXPECT_TRUE(IsPosition(LocationText())) << LocationText();
  EXPECT_EQ(Progress()->value(), progress);
  EXPECT_EQ(FileNameText(), Cmessage().SELECT_FILE);
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kCancelled));
  EXPECT_FALSE(timer_->running);
  timer_->Fire();  // one the timer had queued before it stopped
  Drain();
  EXPECT_EQ(LocationText(), Cmessage().CANCELED);
  EXPECT_EQ(Progress()->value(), 0);
}

TEST_F(WorkflowWindowTest, ACompletedRunWithHiddenLossesSaysSoInABox) {
  bool ended = false;
  QObject::connect(wc_.get(), &MainWindowController::runEnded, [&] { ended = true; });
  for (const uint64_t losses : {0, 2}) {
    ended = false;
    Choose(Write("a.dat", FileOfLength(5)));
    Click("Update");
    midi_.warnings += losses;
    std::this_thread::sleep_for(30ms);
    timer_->Fire(2);
    Drain();
    ASSERT_TRUE(ended);
    EXPECT_EQ(LocationText(), Cmessage().COMPLETED);
    auto* box = window()->findChild<QMessageBox*>("DeliveryWarning");
    EXPECT_EQ(box != nullptr, losses > 0);
    if (box == nullptr) continue;
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->text().toStdString(), WarningText(2));
    box->close();
    Drain();
  }
}

TEST_F(WorkflowWindowTest, ClosingAsksOnlyDuringAnUpdateAndAYesCancelsIt) {
  int asked = 0;
  bool answer = false;
  wc_->SetStopQuestion([&] { return ++asked, answer; });
  Choose(Write("a.dat", FileOfLength(100000)));
  Click("Update");
  EXPECT_FALSE(window()->close());
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(window()->isVisible());
  EXPECT_TRUE(timer_->running);

  answer = true;
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(window()->isVisible());
  EXPECT_FALSE(timer_->running);
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kCancelled));

  wc_->showWindow();  // not updating: closes without a question
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace midiflash::testing
