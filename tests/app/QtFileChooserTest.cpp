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
    for (const char* name : {"a.dat", "b.mid", "c.txt"}) {
      QFile f(dir_.filePath(name));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    chooser_.SetDirectory(dir_.path().toStdString());
    chooser_.SetAllowedFileType("dat");
  }
  // Runs the dialog; `act` gets it once it is shown.
  std::optional<std::string> Run(std::function<void(QFileDialog*)> act) {
    bool acted = false;
    QTimer::singleShot(0, [&] {
      if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        acted = true;
        act(d);
      }
    });
    auto result = chooser_.RunModal();
    EXPECT_TRUE(acted) << "no modal file dialog was shown";
    return result;
  }

  QTemporaryDir dir_;
  const QString path_ = QDir(dir_.path()).absolutePath();
  QtFileChooser chooser_{nullptr};
};

TEST_F(QtFileChooserTest, StartsInTheFolderOffersOnlyDatFilesAndReturnsTheChosenPath) {
  EXPECT_EQ(chooser_.Directory(), path_.toStdString());
  const auto chosen = Run([&](QFileDialog* d) {
    EXPECT_EQ(d->directory().absolutePath(), path_);
    ASSERT_EQ(d->nameFilters().size(), 1);
    EXPECT_TRUE(d->nameFilters().first().contains("(*.dat)"));
    EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
    d->selectFile("a.dat");
    static_cast<QDialog*>(d)->accept();  // QFileDialog hides the slot the Open button calls
  });
  EXPECT_EQ(chosen, QDir(path_).filePath("a.dat").toStdString());
}

TEST_F(QtFileChooserTest, CancellingReturnsNothing) {
  EXPECT_EQ(Run([](QFileDialog* d) { d->reject(); }), std::nullopt);
}

}  // namespace
}  // namespace midiflash::testing
