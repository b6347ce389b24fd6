#include "MainWindowController.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFontDatabase>
#include <QMessageBox>
#include <QSettings>
#include <cerrno>
#include <cstdio>

#include "Log.h"
#include "MidiService.h"
#include "QtFileChooser.h"
#include "Receipt.h"
#include "StatusText.h"
#include "TickHandOff.h"
#include "Version.h"
#include "ui_MainWindowController.h"

namespace midiflash {
namespace {

constexpr const char* kDestinationKey = "destination";
constexpr const char* kVerifyKey = "verify";

// Writes `text` to `path`; 0, or the errno of the step that failed.
int WriteFile(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return errno;
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  // A short write need not set errno; a report cut short must never count as saved.
  const int error = errno != 0 ? errno : EIO;
  if (std::fclose(f) != 0) return errno;
  return written ? 0 : error;
}
// Ten frames a second: as often as a person can read a changing number, and as often as the
// command line redraws its own; drawing every screen frame took as much CPU as the whole run.
constexpr int kFrameMs = 100;
// Beyond this the list shows the start of a name and its tooltip the whole.
constexpr int kWidestList = 700;

}  // namespace

MainWindowController::MainWindowController(Parts parts)
    : window_(std::make_unique<QWidget>()),
      ui_(std::make_unique<Ui::MainWindowController>()),
      settings_file_(std::move(parts.settingsFile)),
      reports_folder_(std::move(parts.reportsFolder)) {
  ui_->setupUi(window_.get());
  // The position text pads its numbers to fixed widths; only a fixed-width font keeps them in
  // place from one tick to the next.
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  ui_->LocationBox->setFont(mono);
  ui_->LocationBox->setMinimumWidth(QFontMetrics(mono).horizontalAdvance(QString(44, '0')));
  ui_->Gap->setRange(0, int(kMaxSysExGapMs));
  ui_->Gap->setValue(int(kDefaultSysExGapMs));
  window_->installEventFilter(this);
  frame_.setSingleShot(true);
  frame_.setInterval(kFrameMs);
  connect(&frame_, &QTimer::timeout, this, &MainWindowController::Redraw);

  connect(ui_->FileSel, &QPushButton::clicked, this, &MainWindowController::OnFileSelClick);
  connect(ui_->Update, &QPushButton::clicked, this, &MainWindowController::OnUpdateButtonClicked);
  connect(ui_->Cancel, &QPushButton::clicked, this, &MainWindowController::OnCancelButtonClicked);
  // activated() comes from the user only; the workflow's own filling and selecting of the list
  // must not choose the destination a second time.
  connect(ui_->midiOutDevice, &QComboBox::activated, this,
          &MainWindowController::OnMidiOutSelChanged);
  connect(ui_->Identify, &QPushButton::clicked, this, &MainWindowController::OnIdentifyClicked);
  connect(ui_->SaveReport, &QPushButton::clicked, this, &MainWindowController::OnSaveReportClicked);
  // clicked() comes from the user only, as activated() above.
  connect(ui_->Verify, &QCheckBox::clicked, this, &MainWindowController::OnVerifyToggled);

  ask_stop_ = [this] {
    return QMessageBox::question(
               window_.get(), window_->windowTitle(),
               tr("An update is running. Stop the update and quit?\n\n"
                  "The device keeps only the part of the update it has received so far."),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
  };

  chooser_ = parts.chooser;
  if (!chooser_) {
    own_chooser_ = std::make_unique<QtFileChooser>(window_.get());
    chooser_ = own_chooser_.get();
  }
  midi_ = parts.midi;
  if (!midi_) {
    own_midi_ = OpenMidiOutput();
    midi_ = own_midi_.get();
  }

  // Each timer call becomes one queued call on this object, so the playback tick runs on the GUI
  // thread in the order the timer made the calls; queued calls are never merged.
  Post post = [this](std::function<void()> task) {
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
  };
  std::function<void()> tick = [this] { workflow_->Tick(); };
  timer_ = std::make_unique<PeriodicTimer>();
  if (parts.timer) {
    handoff_ = parts.timer(std::move(post), std::move(tick));
  } else {
    handoff_ = std::make_unique<TickHandOff>(*timer_, std::move(post), std::move(tick));
  }

  workflow_ = std::make_unique<UpdateWorkflow>(*midi_, *this, files_, clock_, *handoff_);
  std::string remembered;
  // Remembered, so that a user who verifies does so from the first file chosen: the device must be
  // asked before that file's opening messages.
  bool verify = false;
  if (!settings_file_.empty()) {
    QSettings settings(QString::fromStdString(settings_file_), QSettings::IniFormat);
    remembered = settings.value(kDestinationKey).toString().toStdString();
    verify = settings.value(kVerifyKey, false).toBool();
  }
  ui_->Verify->setChecked(verify);
  workflow_->SetVerify(verify);
  // What the device answers comes on a thread of the service; the workflow reads it on this one.
  midi_->SetReceived([this](const uint8_t* data, size_t size) {
    QMetaObject::invokeMethod(
        this,
        [this, bytes = std::vector<uint8_t>(data, data + size)] {
          workflow_->Received(bytes.data(), bytes.size());
        },
        Qt::QueuedConnection);
  });
  workflow_->Load(remembered, UpdateWorkflow::Fallback::kFirstDevice);
  // The service calls from a thread of its own; the list is read again on this one. A call still
  // queued when the window goes is dropped with this object.
  midi_->SetDestinationsChanged([this] {
    QMetaObject::invokeMethod(
        this, [this] { workflow_->DestinationsChanged(); }, Qt::QueuedConnection);
  });
}

MainWindowController::~MainWindowController() {
  midi_->SetDestinationsChanged({});
  midi_->SetReceived({});
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
  LogLine("OnFileSelClick");
  if (!workflow_->controls().fileSel) return;
  chooser_->SetDirectory(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
  LogLine("curPath: %s", chooser_->Directory().c_str());
  const std::optional<std::string> path = chooser_->RunModal();
  if (path) workflow_->ChooseFile(*path);
  // The keyboard goes on with the next step: Space starts the update.
  window_->activateWindow();
  (ui_->Update->isEnabled() ? ui_->Update : ui_->FileSel)->setFocus(Qt::OtherFocusReason);
}

void MainWindowController::OnUpdateButtonClicked() {
  LogLine("OnUpdateButtonClicked");
  workflow_->SetSysExGap(uint32_t(ui_->Gap->value()));
  workflow_->Start();
}

void MainWindowController::OnCancelButtonClicked() {
  LogLine("OnCancelButtonClicked");
  workflow_->Cancel();
}

void MainWindowController::OnMidiOutSelChanged(int index) {
  LogLine("OnMidiOutSelChanged");
  const std::string id = ui_->midiOutDevice->itemData(index).toString().toStdString();
  workflow_->ChooseDestination(id);
  const auto& chosen = workflow_->chosen();
  if (settings_file_.empty() || !chosen || workflow_->chosenGone() || chosen->id != id) return;
  // Remembered by identity for the next start, where it is chosen again if it is there.
  QSettings settings(QString::fromStdString(settings_file_), QSettings::IniFormat);
  settings.setValue(kDestinationKey, QString::fromStdString(id));
}

void MainWindowController::OnIdentifyClicked() {
  LogLine("OnIdentifyClicked");
  workflow_->Identify();
}

void MainWindowController::OnVerifyToggled(bool on) {
  LogLine("OnVerifyToggled %d", on ? 1 : 0);
  workflow_->SetVerify(on);
  if (settings_file_.empty()) return;
  QSettings settings(QString::fromStdString(settings_file_), QSettings::IniFormat);
  settings.setValue(kVerifyKey, on);
}

void MainWindowController::OnSaveReportClicked() {
  LogLine("OnSaveReportClicked");
  if (!workflow_->controls().report) return;
  const Receipt receipt = DescribeRun(*workflow_, std::string("midiflash ") + kVersion);
  const std::optional<std::string> path =
      chooser_->RunSave(reports_folder_, ReceiptFileName(receipt));
  if (!path) return;
  if (const int error = WriteFile(*path, ReceiptJson(receipt))) {
    LogLine("report: %s err = %d", path->c_str(), -error);
    auto* box =
        new QMessageBox(QMessageBox::Warning, window_->windowTitle(),
                        QString::fromStdString(ReportNotSavedText(*path, error, reports_folder_)),
                        QMessageBox::Ok, window_.get());
    box->setObjectName("ReportNotSaved");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return;
  }
  LogLine("report: %s", path->c_str());
  ui_->DetailBox->setText(ui_->DetailBox->text() + "\n" +
                          QString::fromStdString(ReportSavedText(*path)));
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
  workflow_->Cancel();
  return true;
}

void MainWindowController::ShowStatus(const std::string& text) {
  // A text that tells what happened replaces any position still waiting for its frame.
  frame_status_.reset();
  ui_->LocationBox->setText(QString::fromStdString(text));
}

void MainWindowController::Redraw() {
  if (frame_status_) {
    const auto* position = std::get_if<Position>(&*frame_status_);
    const std::string text = position != nullptr ? PositionText(*position)
                                                 : DrainingText(std::get<uint64_t>(*frame_status_));
    ui_->LocationBox->setText(QString::fromStdString(text));
  }
  if (frame_progress_) ui_->Progress->setValue(*frame_progress_);
  frame_status_.reset();
  frame_progress_.reset();
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
  frame_status_ = position;
  if (!frame_.isActive()) frame_.start();
}
void MainWindowController::ShowSendError(int32_t status) {
  ShowStatus(SendErrorText(status));
}
void MainWindowController::ShowDraining(uint64_t pendingBytes) {
  frame_status_ = pendingBytes;
  if (!frame_.isActive()) frame_.start();
}
void MainWindowController::ShowDetail(const std::string& text) {
  ui_->DetailBox->setText(QString::fromStdString(text));
}
void MainWindowController::ShowProgress(int percent) {
  frame_progress_ = percent;
  if (!frame_.isActive()) frame_.start();
}

void MainWindowController::ShowControls(const Controls& c) {
  ui_->FileSel->setEnabled(c.fileSel);
  ui_->Update->setEnabled(c.update);
  ui_->Cancel->setEnabled(c.cancel);
  ui_->midiOutDevice->setEnabled(c.midiOutDevice);
  ui_->Identify->setEnabled(c.identify);
  ui_->Verify->setEnabled(c.midiOutDevice);
  ui_->SaveReport->setEnabled(c.report);
  // The gap paces System Exclusive files only, and a run keeps the gap it started with.
  const auto& file = workflow_->file().checked;
  const bool gap = c.fileSel && file && file->kind == FileKind::kSysEx;
  ui_->Gap->setEnabled(gap);
  ui_->GapLabel->setEnabled(gap);
}

void MainWindowController::ShowDestinations(const std::vector<ListedDestination>& items,
                                            int64_t selected) {
  QComboBox* list = ui_->midiOutDevice;
  list->clear();
  for (const ListedDestination& item : items) {
    const std::string& name = item.destination.name;
    const QString label = QString::fromStdString(item.gone ? GoneDestinationText(name) : name);
    list->addItem(label, QString::fromStdString(item.destination.id));
    // The whole name and the identity, also where the list is narrower than a long name.
    list->setItemData(list->count() - 1,
                      label + (item.destination.id == name
                                   ? QString()
                                   : " [" + QString::fromStdString(item.destination.id) + "]"),
                      Qt::ToolTipRole);
  }
  list->setCurrentIndex(static_cast<int>(selected));
  // Wide enough for the longest item, "(gone)" included, up to a limit; the window grows with it.
  list->setMinimumWidth(std::min(list->sizeHint().width(), kWidestList));
  list->setToolTip(selected < 0 ? tr("MIDI destination")
                                : list->itemData(list->currentIndex(), Qt::ToolTipRole).toString());
}

void MainWindowController::ShowIdentity(const IdentityCheck& check, bool done) {
  ui_->IdentityBox->setText(QString::fromStdString(IdentityCheckText(check, done)));
}

void MainWindowController::RunEnded(const RunResult& result) {
  if (result.after.asked) {
    ui_->IdentityBox->setText(
        QString::fromStdString(IdentityCheckText(result.after, true) + "\n" +
                               RevisionChangeText(result.before, result.after)));
  }
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
