// A main window driven as a user would: real buttons clicked with the mouse, the list read, files
// written to a folder of the test's own and picked through a dialog that answers itself.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <memory>

#include "CoreFakes.h"
#include "MainWindowController.h"

namespace midiflash::testing {

struct WindowDriver {
  // Builds the window on `parts` (the chooser is always the fake one) and shows it.
  explicit WindowDriver(MainWindowController::Parts parts = {}) {
    parts.chooser = &chooser;
    wc = std::make_unique<MainWindowController>(std::move(parts));
    wc->showWindow();
  }
  template <class T = QPushButton>
  T* Find(const char* name) {
    return wc->window()->findChild<T*>(name);
  }
  void Click(const char* button) { QTest::mouseClick(Find(button), Qt::LeftButton); }
  std::string Text(const char* box) { return Find<QLineEdit>(box)->text().toStdString(); }
  std::vector<std::string> Items() {
    std::vector<std::string> items;
    for (int i = 0; i < List()->count(); ++i) items.push_back(List()->itemText(i).toStdString());
    return items;
  }
  QComboBox* List() { return Find<QComboBox>("midiOutDevice"); }
  Controls Enabled() {
    return {Find("FileSel")->isEnabled(), Find("Update")->isEnabled(), Find("Cancel")->isEnabled(),
            List()->isEnabled()};
  }
  // Writes `bytes` to file `name` and picks it with File Select.
  void Choose(const char* name, const Bytes& bytes) {
    chooser.answer = dir.filePath(name).toStdString();
    std::ofstream(*chooser.answer, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    Click("FileSel");
  }

  QTemporaryDir dir;
  FakeChooser chooser;
  std::unique_ptr<MainWindowController> wc;
};

}  // namespace midiflash::testing
