// The window as the workflow's view, on fakes, reached by clicking the real buttons: its layout,
// what it shows of each decision of the workflow, the box of a run that may be incomplete, closing.
#include <QFontInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <thread>

#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

bool IsPosition(const std::string& text) {
  static const QRegularExpression kPosition(R"(^\[ {4}0m \d\ds\] \[ \d{8} / \d{8} ticks\]$)");
  return kPosition.match(QString::fromStdString(text)).hasMatch();
}

TEST_F(WindowTest, OneColumnWithTheListAndButtonsOnOneRowAndAFixedWidthStatusLine) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
  const QWidget* row[] = {Destinations(), Button("FileSel"), Button("Update"), Button("Cancel")};
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(row[i]->geometry().center().y(), row[0]->geometry().center().y()) << i;
    EXPECT_GT(row[i]->geometry().left(), row[i - 1]->geometry().right()) << i;
  }
  const QWidget* column[] = {Button("FileSel"), Box("FileNameBox"), Box("LocationBox"), Progress()};
  for (int i = 1; i < 4; ++i) {
    EXPECT_GT(column[i]->geometry().top(), column[i - 1]->geometry().bottom()) << i;
  }
  QLineEdit* status = Box("LocationBox");
  EXPECT_TRUE(QFontInfo(status->font()).fixedPitch());
  const QString longest = "[ 9999m 59s] [ 99999999 / 99999999 ticks]";
  EXPECT_GE(status->contentsRect().width(), status->fontMetrics().horizontalAdvance(longest));
  EXPECT_TRUE(status->isReadOnly() && Box("FileNameBox")->isReadOnly());
  EXPECT_EQ(Progress()->maximum(), 100);
}

// Each step as a user takes it, and what the window then shows: texts, enabled controls, progress,
// the destination list, and what reached the fakes.
TEST_F(WindowTest, ShowsWhatTheWorkflowDecidesAndForwardsEachAction) {
  EXPECT_EQ(FileNameText(), Cmessage().SELECT_FILE);
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kNoFile));
  QStringList items;
  for (int i = 0; i < Destinations()->count(); ++i) items << Destinations()->itemText(i);
  EXPECT_EQ(items, QStringList({"Port A", "Port B", "Port C"}));
  EXPECT_EQ(Destinations()->currentIndex(), 0);
  // Filling and selecting the list is not a user's choice and opens nothing more.
  EXPECT_EQ(midi_.opened, std::vector<int64_t>{0});
  QComboBox* list = Destinations();
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  emit list->activated(1);
  EXPECT_EQ(midi_.opened, (std::vector<int64_t>{0, 1, 1}));

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

TEST_F(WindowTest, ACompletedRunWithHiddenLossesSaysSoInABox) {
  for (const uint64_t losses : {0, 2}) {
    Choose(Write("a.dat", FileOfLength(5)));
    Click("Update");
    midi_.warnings += losses;
    std::this_thread::sleep_for(30ms);
    timer_->Fire(2);
    Drain();
    EXPECT_EQ(LocationText(), Cmessage().COMPLETED);
    auto* box = window()->findChild<QMessageBox*>("DeliveryWarning");
    ASSERT_EQ(box != nullptr, losses > 0);
    if (box == nullptr) continue;
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->text().toStdString(), WarningText(2));
    box->close();
    Drain();
  }
}

TEST_F(WindowTest, ClosingAsksOnlyDuringAnUpdateAndAYesCancelsIt) {
  int asked = 0;
  bool answer = false;
  wc_->SetStopQuestion([&] { return ++asked, answer; });
  Choose(Write("a.dat", FileOfLength(100000)));
  Click("Update");
  EXPECT_FALSE(window()->close());
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(window()->isVisible() && timer_->running);
  answer = true;
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(window()->isVisible() || timer_->running);
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kCancelled));
  wc_->showWindow();  // not updating: closes without a question
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace midiflash::testing
