// The real open dialog, answered by a test that acts on it while it is shown.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>

#include "QtFileChooser.h"

namespace midiflash::testing {
namespace {

class QtFileChooserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    for (const char* name : {"a.dat", "b.mid", "c.txt"}) {
      QFile f(dir_.filePath(name));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    chooser_.SetDirectory(dir_.path().toStdString());
    chooser_.SetAllowedFileType("dat");
  }
  // Runs the dialog; `act` gets the shown dialog once it is up.
  std::optional<std::string> Run(std::function<void(QFileDialog*)> act) {
    bool acted = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      acted = true;
      act(dialog);
    });
    auto result = chooser_.RunModal();
    EXPECT_TRUE(acted) << "no modal file dialog was shown";
    return result;
  }

  QTemporaryDir dir_;
  QtFileChooser chooser_{nullptr};
};

TEST_F(QtFileChooserTest, StartsInTheFolderOffersOnlyDatFilesAndReturnsTheChosenPath) {
  EXPECT_EQ(chooser_.Directory(), QDir(dir_.path()).absolutePath().toStdString());
  auto chosen = Run([&](QFileDialog* d) {
    EXPECT_EQ(d->directory().absolutePath(), QDir(dir_.path()).absolutePath());
    ASSERT_EQ(d->nameFilters().size(), 1);
    EXPECT_TRUE(d->nameFilters().first().contains("(*.dat)"));
    EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
    d->selectFile("a.dat");
    // QFileDialog hides accept(); it is QDialog's slot that the Open button calls.
    static_cast<QDialog*>(d)->accept();
  });
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(*chosen, QDir(dir_.path()).filePath("a.dat").toStdString());
}

TEST_F(QtFileChooserTest, CancellingReturnsNothing) {
  auto chosen = Run([](QFileDialog* d) { d->reject(); });
  EXPECT_FALSE(chosen.has_value());
}

}  // namespace
}  // namespace midiflash::testing
