// The window on fakes: its layout, and the box of a run that may be incomplete. What it shows of a
// run and how its controls reach the workflow is checked along the JACK run.
#include <QFontInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <thread>

#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

// The timer only counts; `fire` queues one tick through the controller's own queueing function,
// as the real timer does.
struct WindowTest : ::testing::Test {
  FakeMidi midi;
  std::function<void()> fire;
  WindowDriver w{{.midi = &midi, .timer = [this](auto post, auto tick) {
                    fire = [post, tick] { post(tick); };
                    return std::make_unique<FakeTimer>();
                  }}};
  QWidget* window() { return w.wc->window(); }
  QProgressBar* Progress() { return w.Find<QProgressBar>("Progress"); }
};

TEST_F(WindowTest, OneColumnWithTheListAndButtonsOnOneRowAndAFixedWidthStatusLine) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
  auto* status = w.Find<QLineEdit>("LocationBox");
  const QWidget* row[] = {w.List(), w.Find("FileSel"), w.Find("Update"), w.Find("Cancel")};
  const QWidget* column[] = {w.Find("FileSel"), w.Find<QLineEdit>("FileNameBox"), status,
                             Progress()};
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(row[i]->geometry().center().y(), row[0]->geometry().center().y()) << i;
    EXPECT_GT(row[i]->geometry().left(), row[i - 1]->geometry().right()) << i;
    EXPECT_GT(column[i]->geometry().top(), column[i - 1]->geometry().bottom()) << i;
  }
  EXPECT_TRUE(QFontInfo(status->font()).fixedPitch());
  const QString longest = "[ 9999m 59s] [ 99999999 / 99999999 ticks]";
  EXPECT_GE(status->contentsRect().width(), status->fontMetrics().horizontalAdvance(longest));
  EXPECT_TRUE(status->isReadOnly() && w.Find<QLineEdit>("FileNameBox")->isReadOnly());
  EXPECT_EQ(Progress()->maximum(), 100);
}

// The status line says "completed"; a run the service may have lost messages of also says so in a
// box, and only such a run. Once the run is over, the window closes without a question.
TEST_F(WindowTest, ACompletedRunWithHiddenLossesSaysSoInABoxAndTheWindowClosesWithoutAQuestion) {
  TrackBuilder t;
  const Bytes file = Smf(0, 480, {t.Event(0, {0x90, 0x3C, 0x40}).EndOfTrack(5)});  // 5 ms
  for (const uint64_t losses : {0, 1}) {
    w.Choose("a.dat", file);
    w.Click("Update");
    midi.warnings = losses;
    std::this_thread::sleep_for(30ms);
    fire(), fire();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Text("LocationBox"), Cmessage().COMPLETED);
    ASSERT_EQ(window()->findChild<QMessageBox*>("DeliveryWarning") != nullptr, losses > 0);
  }
  auto* box = window()->findChild<QMessageBox*>("DeliveryWarning");
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->text().toStdString(), WarningText(1));
  int asked = 0;
  w.wc->SetStopQuestion([&] { return ++asked, false; });
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 0);
}

}  // namespace
}  // namespace midiflash::testing
