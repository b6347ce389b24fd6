// The window right after the load step, its layout, and the choice of destination.
#include <QFontInfo>

#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using LoadTest = WindowTest;

TEST_F(LoadTest, ThreeDestinationsAreListedInOrderAndTheFirstIsOpenedOnce) {
  EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
  EXPECT_EQ(LocationText(), "");
  EXPECT_EQ(Enabled(), Idle(false));

  QComboBox* list = Destinations();
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->itemText(0), "Port A");
  EXPECT_EQ(list->itemText(1), "Port B");
  EXPECT_EQ(list->itemText(2), "Port C");
  EXPECT_EQ(list->currentIndex(), 0);
  // Filling and selecting the list is not a user's choice and opens nothing more.
  EXPECT_EQ(midi_.opened, std::vector<int64_t>{0});

  EXPECT_EQ(Progress()->minimum(), 0);
  EXPECT_EQ(Progress()->maximum(), 100);
  EXPECT_EQ(Progress()->value(), 0);
  EXPECT_EQ(wc_->workflow().state().PlayTempo, 120);
}

TEST_F(LoadTest, NoDestinationLeavesTheListEmptyAndOpensNothing) {
  midi_.names.clear();
  midi_.opened.clear();
  Load();

  EXPECT_EQ(Destinations()->count(), 0);
  EXPECT_EQ(Destinations()->currentIndex(), -1);
  EXPECT_TRUE(midi_.opened.empty());
  EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
  EXPECT_EQ(Enabled(), Idle(false));
  EXPECT_EQ(Progress()->maximum(), 100);
  EXPECT_EQ(Progress()->value(), 0);
  EXPECT_EQ(wc_->workflow().state().PlayTempo, 120);
}

TEST_F(LoadTest, OneColumnWithTheListAndTheButtonsOnTheFirstRow) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
  const QWidget* row[] = {Destinations(), Button("FileSel"), Button("Update"), Button("Cancel")};
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(row[i]->geometry().center().y(), row[0]->geometry().center().y()) << i;
    EXPECT_GT(row[i]->geometry().left(), row[i - 1]->geometry().right()) << i;
  }
  const QWidget* column[] = {Button("FileSel"), window()->findChild<QLineEdit*>("FileNameBox"),
                             window()->findChild<QLineEdit*>("LocationBox"), Progress()};
  for (int i = 1; i < 4; ++i) {
    EXPECT_GT(column[i]->geometry().top(), column[i - 1]->geometry().bottom()) << i;
  }
  for (QWidget* w : window()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (w->isWindow() || !w->isVisible()) continue;
    EXPECT_TRUE(window()->rect().contains(w->geometry())) << w->objectName().toStdString();
  }
}

TEST_F(LoadTest, StatusLineIsFixedWidthAndHoldsALongPositionText) {
  auto* status = window()->findChild<QLineEdit*>("LocationBox");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
  EXPECT_TRUE(QFontInfo(status->font()).fixedPitch());
  const QString longest = "[ 9999m 59s] [ 99999999 / 99999999 ticks]";
  EXPECT_GE(status->contentsRect().width(), status->fontMetrics().horizontalAdvance(longest));
  EXPECT_TRUE(status->isReadOnly());
  EXPECT_TRUE(window()->findChild<QLineEdit*>("FileNameBox")->isReadOnly());
}

TEST_F(LoadTest, ChoosingAnotherDestinationOpensItAndTheSameOneOpensItAgain) {
  QComboBox* list = Destinations();
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(list->currentIndex(), 1);
  EXPECT_EQ(midi_.opened, (std::vector<int64_t>{0, 1}));

  // The user picks the item already selected: opened again, nothing else.
  emit list->activated(1);
  EXPECT_EQ(midi_.opened, (std::vector<int64_t>{0, 1, 1}));
  EXPECT_TRUE(midi_.sent.empty());
}

}  // namespace
}  // namespace midiflash::testing
