// The window right after the load step, its layout, and the choice of destination.
#include <QFontInfo>

#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using LoadTest = WindowTest;

TEST_F(LoadTest, ShowsTheDestinationsWithTheFirstOpenedAndTheOtherControls) {
  EXPECT_EQ(FileNameText(), Cmessage().SELECT_FILE);
  EXPECT_EQ(LocationText(), "");
  EXPECT_EQ(Enabled(), ControlsFor(Phase::kNoFile));
  EXPECT_EQ(Progress()->minimum(), 0);
  EXPECT_EQ(Progress()->maximum(), 100);
  EXPECT_EQ(Progress()->value(), 0);
  QStringList items;
  for (int i = 0; i < Destinations()->count(); ++i) items << Destinations()->itemText(i);
  EXPECT_EQ(items, QStringList({"Port A", "Port B", "Port C"}));
  EXPECT_EQ(Destinations()->currentIndex(), 0);
  // Filling and selecting the list is not a user's choice and opens nothing more.
  EXPECT_EQ(midi_.opened, std::vector<int64_t>{0});

  // A choice in the list opens that destination, also when it is already selected.
  QComboBox* list = Destinations();
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(list->currentIndex(), 1);
  emit list->activated(1);
  EXPECT_EQ(midi_.opened, (std::vector<int64_t>{0, 1, 1}));
}

TEST_F(LoadTest, OneColumnWithTheListAndButtonsOnOneRowAndAFixedWidthStatusLine) {
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
  EXPECT_TRUE(status->isReadOnly());
  EXPECT_TRUE(Box("FileNameBox")->isReadOnly());
}

}  // namespace
}  // namespace midiflash::testing
