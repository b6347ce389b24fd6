// The main window and its controller. The controller owns the window (laid out in
// MainWindowController.ui), the MIDI output, the tick timer and the update workflow, hands every
// user action to the workflow and renders what the workflow decides: it holds no workflow logic.
#pragma once

#include <QObject>
#include <QWidget>
#include <functional>
#include <memory>

#include "FileChooser.h"
#include "MidiPort.h"
#include "PosixFileSource.h"
#include "SteadyClock.h"
#include "TickTimer.h"
#include "UpdateView.h"
#include "UpdateWorkflow.h"
#include "mmTimer.h"

namespace Ui {
class MainWindowController;
}

namespace midiflash {

class MainWindowController : public QObject, public UpdateView {
  Q_OBJECT

 public:
  // Queues one task onto the GUI thread.
  using Post = std::function<void(std::function<void()>)>;
  // Builds the tick timer from the controller's queueing function and its playback tick.
  using TimerFactory = std::function<std::unique_ptr<TickTimer>(Post post, std::function<void()>)>;

  // Parts that replace the real ones; every null or empty member means the real part.
  struct Parts {
    MidiPort* midi = nullptr;        // not owned; default: a MidiAPI of our own
    FileChooser* chooser = nullptr;  // not owned; default: the Qt open dialog
    TimerFactory timer;              // default: a TickHandOff over an mmTimer of our own
  };

  // Creates the window and the components, then runs the load step. The window is not shown.
  MainWindowController();
  explicit MainWindowController(Parts parts);
  ~MainWindowController() override;
  MainWindowController(const MainWindowController&) = delete;
  MainWindowController& operator=(const MainWindowController&) = delete;

  QWidget* window() const { return window_.get(); }
  void showWindow();
  UpdateWorkflow& workflow() { return *workflow_; }

  // The question asked when the window is closed during an update: true means stop and quit.
  // Defaults to a message box.
  void SetStopQuestion(std::function<bool()> ask) { ask_stop_ = std::move(ask); }

  // UpdateView
  void ShowFileName(const std::string& name) override;
  void ShowSelectFile() override;
  void ShowNotice(Notice notice) override;
  void ShowPosition(const Position& position) override;
  void ShowSendError(int32_t status) override;
  void ShowDraining(uint64_t pendingBytes) override;
  void ShowProgress(int percent) override;
  void ShowControls(const Controls& controls) override;
  void ClearDestinations() override;
  void AddDestination(const std::string& name) override;
  void AddGoneDestination(const std::string& name) override;
  void SelectDestination(int64_t index) override;
  int64_t SelectedDestination() const override;
  void RunEnded(const RunResult& result) override;

 public slots:
  void OnFileSelClick();
  void OnUpdateButtonClicked();
  void OnCancelButtonClicked();
  void OnMidiOutSelChanged();

 signals:
  // A tick has ended the run.
  void runEnded();

 protected:
  // Watches the window for its close request.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool AskStopAndQuit();
  void ShowStatus(const std::string& text);

  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Ui::MainWindowController> ui_;
  std::function<bool()> ask_stop_;

  // Declared in the order the load step creates them. Members go in reverse order, which would
  // take the workflow away while the hand-off could still queue ticks for it: the destructor
  // therefore stops and releases the hand-off first. The MIDI output, the timer, the file
  // source and the clock outlive the workflow that uses them.
  std::unique_ptr<FileChooser> own_chooser_;
  std::unique_ptr<MidiPort> own_midi_;
  MidiPort* midi_ = nullptr;
  std::unique_ptr<mmTimer> Timer;
  std::unique_ptr<TickTimer> handoff_;
  PosixFileSource files_;
  SteadyClock clock_;
  std::unique_ptr<UpdateWorkflow> workflow_;
};

}  // namespace midiflash
