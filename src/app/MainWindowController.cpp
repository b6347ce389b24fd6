#include "MainWindowController.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFontDatabase>
#include <QMessageBox>

#include "MidiAPI.h"
#include "QtFileChooser.h"
#include "StatusText.h"
#include "TickHandOff.h"
#include "ui_MainWindowController.h"

namespace midiflash {

MainWindowController::MainWindowController() : MainWindowController(Parts{}) {}

MainWindowController::MainWindowController(Parts parts)
    : window_(std::make_unique<QWidget>()), ui_(std::make_unique<Ui::MainWindowController>()) {
  ui_->setupUi(window_.get());
  // The position text pads its numbers to fixed widths; only a fixed-width font keeps them in
  // place from one tick to the next.
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  ui_->LocationBox->setFont(mono);
  ui_->LocationBox->setMinimumWidth(QFontMetrics(mono).horizontalAdvance(QString(44, '0')));
  window_->installEventFilter(this);

  connect(ui_->FileSel, &QPushButton::clicked, this, &MainWindowController::OnFileSelClick);
  connect(ui_->Update, &QPushButton::clicked, this, &MainWindowController::OnUpdateButtonClicked);
  connect(ui_->Cancel, &QPushButton::clicked, this, &MainWindowController::OnCancelButtonClicked);
  // activated() comes from the user only; the load step's own filling and selecting of the list
  // must not open the destination a second time.
  connect(ui_->midiOutDevice, &QComboBox::activated, this,
          &MainWindowController::OnMidiOutSelChanged);

  ask_stop_ = [this] {
    return QMessageBox::question(
               window_.get(), window_->windowTitle(),
               tr("An update is running. Stop the update and quit?\n\n"
                  "The device keeps only the part of the update it has received so far."),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
  };

  FileChooser* chooser = parts.chooser;
  if (!chooser) {
    own_chooser_ = std::make_unique<QtFileChooser>(window_.get());
    chooser = own_chooser_.get();
  }
  midi_ = parts.midi;
  if (!midi_) {
    own_midi_ = std::make_unique<MidiAPI>();
    midi_ = own_midi_.get();
  }

  // Each timer call becomes one queued call on this object, so the playback tick runs on the GUI
  // thread in the order the timer made the calls; queued calls are never merged.
  Post post = [this](std::function<void()> task) {
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
  };
  std::function<void()> tick = [this] { workflow_->SmfPlayProc(); };
  Timer = std::make_unique<mmTimer>();
  if (parts.timer) {
    handoff_ = parts.timer(std::move(post), std::move(tick));
  } else {
    handoff_ = std::make_unique<TickHandOff>(*Timer, std::move(post), std::move(tick));
  }

  workflow_ = std::make_unique<UpdateWorkflow>(
      *midi_, *this, *chooser, files_, clock_, *handoff_,
      QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
  workflow_->WindowDidLoad();
  // The service calls from a thread of its own; the list is read again on this one. A call still
  // queued when the window goes is dropped with this object.
  midi_->SetDestinationsChanged([this] {
    QMetaObject::invokeMethod(
        this, [this] { workflow_->OnDestinationsChanged(); }, Qt::QueuedConnection);
  });
}

MainWindowController::~MainWindowController() {
  midi_->SetDestinationsChanged({});
  // Stop the ticks before anything they reach goes away.
  handoff_.reset();
  window_->removeEventFilter(this);
}

void MainWindowController::showWindow() {
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void MainWindowController::OnFileSelClick() {
  workflow_->OnFileSelClick();
}
void MainWindowController::OnUpdateButtonClicked() {
  workflow_->OnUpdateButtonClicked();
}
void MainWindowController::OnCancelButtonClicked() {
  workflow_->OnCancelButtonClicked();
}
void MainWindowController::OnMidiOutSelChanged() {
  workflow_->OnMidiOutSelChanged();
}

bool MainWindowController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_.get() && event->type() == QEvent::Close && !AskStopAndQuit()) {
    event->ignore();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

// Quitting in the middle of an update leaves the device with half of it, so while the run is
// going the user has to confirm; the run carries on while the question is open.
bool MainWindowController::AskStopAndQuit() {
  if (!workflow_->running()) return true;
  if (!ask_stop_()) return false;
  workflow_->OnCancelButtonClicked();
  return true;
}

void MainWindowController::ShowStatus(const std::string& text) {
  ui_->LocationBox->setText(QString::fromStdString(text));
}

void MainWindowController::ShowFileName(const std::string& name) {
  ui_->FileNameBox->setText(QString::fromStdString(FileNameText(name)));
}
void MainWindowController::ShowSelectFile() {
  ui_->FileNameBox->setText(QString::fromStdString(SelectFileText()));
}
void MainWindowController::ShowNotice(Notice notice) {
  ShowStatus(NoticeText(notice));
}
void MainWindowController::ShowPosition(const Position& position) {
  ShowStatus(PositionText(position));
}
void MainWindowController::ShowSendError(int32_t status) {
  ShowStatus(SendErrorText(status));
}
void MainWindowController::ShowDraining(uint64_t pendingBytes) {
  ShowStatus(DrainingText(pendingBytes));
}
void MainWindowController::ShowProgress(int percent) {
  ui_->Progress->setValue(percent);
}

void MainWindowController::ShowControls(const Controls& c) {
  ui_->FileSel->setEnabled(c.fileSel);
  ui_->Update->setEnabled(c.update);
  ui_->Cancel->setEnabled(c.cancel);
  ui_->midiOutDevice->setEnabled(c.midiOutDevice);
}

void MainWindowController::ClearDestinations() {
  ui_->midiOutDevice->clear();
}

void MainWindowController::AddDestination(const std::string& name) {
  ui_->midiOutDevice->addItem(QString::fromStdString(name));
}

void MainWindowController::AddGoneDestination(const std::string& name) {
  ui_->midiOutDevice->addItem(QString::fromStdString(GoneDestinationText(name)));
}

void MainWindowController::SelectDestination(int64_t index) {
  ui_->midiOutDevice->setCurrentIndex(static_cast<int>(index));
}

int64_t MainWindowController::SelectedDestination() const {
  return ui_->midiOutDevice->currentIndex();
}

void MainWindowController::RunEnded(const RunResult& result) {
  if (result.deliveryWarnings > 0) {
    // The status line says "completed"; a line the eye may skip is not enough for an update
    // that may have lost part of itself. Not modal for the event loop: ticks still run.
    auto* box = new QMessageBox(QMessageBox::Warning, window_->windowTitle(),
                                QString::fromStdString(WarningText(result.deliveryWarnings)),
                                QMessageBox::Ok, window_.get());
    box->setObjectName("DeliveryWarning");
    box->setInformativeText(
        tr("Check the device, and run the update again if it does not work as it should."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
  emit runEnded();
}

}  // namespace midiflash
