// The window right after the load step, its layout, and the choice of destination.
#include <QFontInfo>

#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using LoadTest = WindowTest;

TEST_F(LoadTest, ShowsTheLoadedStateWithThreeDestinationsAndWithNone) {
  for (const bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "no destination" : "three destinations");
    if (empty) {
      midi_.names.clear();
      midi_.opened.clear();
      Load();
    }
    EXPECT_EQ(FileNameText().toStdString(), texts_.SELECT_FILE);
    EXPECT_EQ(LocationText(), "");
    EXPECT_EQ(Enabled(), Idle(false));
    EXPECT_EQ(Progress()->minimum(), 0);
    EXPECT_EQ(Progress()->maximum(), 100);
    EXPECT_EQ(Progress()->value(), 0);
    QStringList items;
    for (int i = 0; i < Destinations()->count(); ++i) items << Destinations()->itemText(i);
    EXPECT_EQ(items, empty ? QStringList() : QStringList({"Port A", "Port B", "Port C"}));
    EXPECT_EQ(Destinations()->currentIndex(), empty ? -1 : 0);
    // Filling and selecting the list is not a user's choice and opens nothing more.
    EXPECT_EQ(midi_.opened, empty ? std::vector<int64_t>{} : std::vector<int64_t>{0});
  }
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
  for (QWidget* w : window()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (w->isWindow() || !w->isVisible()) continue;
    EXPECT_TRUE(window()->rect().contains(w->geometry())) << w->objectName().toStdString();
  }

  QLineEdit* status = Box("LocationBox");
  EXPECT_TRUE(QFontInfo(status->font()).fixedPitch());
  const QString longest = "[ 9999m 59s] [ 99999999 / 99999999 ticks]";
  EXPECT_GE(status->contentsRect().width(), status->fontMetrics().horizontalAdvance(longest));
  EXPECT_TRUE(status->isReadOnly());
  EXPECT_TRUE(Box("FileNameBox")->isReadOnly());
}

TEST_F(LoadTest, ChoosingADestinationOpensItEvenWhenItIsAlreadySelected) {
  QComboBox* list = Destinations();
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(list->currentIndex(), 1);
  emit list->activated(1);
  EXPECT_EQ(midi_.opened, (std::vector<int64_t>{0, 1, 1}));
  EXPECT_TRUE(midi_.sent.empty());
}

}  // namespace
}  // namespace midiflash::testing
