#include "QtFileChooser.h"

#include <QApplication>
#include <QFile>

namespace midiflash {

QtFileChooser::QtFileChooser(QWidget* parent)
    : dialog_(parent, QFileDialog::tr("Open")), parent_(parent) {
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

namespace {

// The dialog's name completion can leave its list open after the dialog has gone; that popup then
// takes the keyboard and swallows the next click, so that the next button needs two.
void ClosePopups() {
  while (QWidget* popup = QApplication::activePopupWidget()) {
    if (!popup->close()) break;
  }
}

}  // namespace

std::optional<std::string> QtFileChooser::RunSave(const std::string& dir, const std::string& name) {
  QFileDialog save(parent_, QFileDialog::tr("Save report"));
  save.setAcceptMode(QFileDialog::AcceptSave);
  save.setFileMode(QFileDialog::AnyFile);
  save.setNameFilters({QFileDialog::tr("Reports (*.json)"), QFileDialog::tr("All files (*)")});
  save.setDefaultSuffix("json");
  save.setDirectory(QFile::decodeName(QByteArray::fromStdString(dir)));
  save.selectFile(QFile::decodeName(QByteArray::fromStdString(name)));
  const int answer = save.exec();
  ClosePopups();
  if (answer != QDialog::Accepted || save.selectedFiles().isEmpty()) return std::nullopt;
  return QFile::encodeName(save.selectedFiles().first()).toStdString();
}

std::optional<std::string> QtFileChooser::RunModal() {
  const int answer = dialog_.exec();
  ClosePopups();
  if (answer != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog_.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  // Paths go to the file system as its own bytes, not as UTF-8 text.
  return QFile::encodeName(files.first()).toStdString();
}

}  // namespace midiflash
