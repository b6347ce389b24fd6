#include "QtFileChooser.h"

#include <QApplication>
#include <QFile>

namespace midiflash {

QtFileChooser::QtFileChooser(QWidget* parent) : dialog_(parent, QFileDialog::tr("Open")) {
  dialog_.setFileMode(QFileDialog::ExistingFile);
  dialog_.setAcceptMode(QFileDialog::AcceptOpen);
  // Update files first, as before; the kind of any file is told by its content, not its name.
  dialog_.setNameFilters({QFileDialog::tr("Update files (*.dat)"),
                          QFileDialog::tr("MIDI files (*.dat *.mid *.syx)"),
                          QFileDialog::tr("All files (*)")});
  dialog_.setDefaultSuffix("dat");
}

void QtFileChooser::SetDirectory(const std::string& dir) {
  dialog_.setDirectory(QFile::decodeName(QByteArray::fromStdString(dir)));
}

std::string QtFileChooser::Directory() const {
  return QFile::encodeName(dialog_.directory().absolutePath()).toStdString();
}

std::optional<std::string> QtFileChooser::RunModal() {
  const int answer = dialog_.exec();
  // The dialog's name completion can leave its list open after the dialog has gone; that popup
  // then takes the keyboard and swallows the next click, so that Update needs two.
  while (QWidget* popup = QApplication::activePopupWidget()) {
    if (!popup->close()) break;
  }
  if (answer != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog_.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  // Paths go to the file system as its own bytes, not as UTF-8 text.
  return QFile::encodeName(files.first()).toStdString();
}

}  // namespace midiflash
