// The real open dialog, answered by a test that acts on it while it is shown.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>

#include "QtFileChooser.h"

namespace midiflash::testing {
namespace {

TEST(QtFileChooser, StartsInTheFolderOffersDatFilesAndReturnsTheChoiceOrNothing) {
  QTemporaryDir dir;
  QFile(dir.filePath("a.dat")).open(QIODevice::WriteOnly);
  const QString path = QDir(dir.path()).absolutePath();
  QtFileChooser chooser(nullptr);
  chooser.SetDirectory(dir.path().toStdString());
  chooser.SetAllowedFileType("dat");
  EXPECT_EQ(chooser.Directory(), path.toStdString());
  // Runs the dialog; `act` gets it once it is shown.
  const auto run = [&](std::function<void(QFileDialog*)> act) {
    bool acted = false;
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if ((acted = d != nullptr)) act(d);
    });
    auto result = chooser.RunModal();
    EXPECT_TRUE(acted) << "no modal file dialog was shown";
    return result;
  };
  EXPECT_EQ(run([&](QFileDialog* d) {
              EXPECT_EQ(d->directory().absolutePath(), path);
              EXPECT_EQ(d->nameFilters(), QStringList{"Update files (*.dat)"});
              EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
              d->selectFile("a.dat");
              static_cast<QDialog*>(d)->accept();  // QFileDialog hides the Open button's slot
            }),
            QDir(path).filePath("a.dat").toStdString());
  EXPECT_EQ(run([](QFileDialog* d) { d->reject(); }), std::nullopt);
}

}  // namespace
}  // namespace midiflash::testing
