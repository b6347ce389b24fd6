// The main window and its controller. The controller owns the window (laid out in
// MainWindowController.ui), the MIDI output, the tick timer and the update workflow; it writes the
// log line of each user action, tells the workflow what the user did and renders what the workflow
// decides: it holds no workflow logic. It also saves a run's receipt where the user asks.
#pragma once

#include <QObject>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "FileChooser.h"
#include "MidiOutput.h"
#include "PeriodicTimer.h"
#include "PosixFileSource.h"
#include "SteadyClock.h"
#include "TickTimer.h"
#include "UpdateView.h"
#include "UpdateWorkflow.h"

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
    MidiOutput* midi = nullptr;      // not owned; default: OpenMidiOutput()
    FileChooser* chooser = nullptr;  // not owned; default: the Qt open dialog
    TimerFactory timer;              // default: a TickHandOff over a PeriodicTimer of our own
    // Where the destination chosen last, and whether updates are verified, are remembered;
    // empty: nowhere.
    std::string settingsFile;
    // The folder the save dialog of a report starts in (the one the program may always write to).
    std::string reportsFolder;
  };

  // Creates the window and the components, then runs the load step. The window is not shown.
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
  void ShowDetail(const std::string& text) override;
  void ShowProgress(int percent) override;
  void ShowControls(const Controls& controls) override;
  void ShowDestinations(const std::vector<ListedDestination>& items, int64_t selected) override;
  // Under the destination list.
  void ShowIdentity(const IdentityCheck& check, bool done) override;
  void RunEnded(const RunResult& result) override;

 public slots:
  void OnFileSelClick();
  void OnUpdateButtonClicked();
  void OnCancelButtonClicked();
  void OnMidiOutSelChanged(int index);
  void OnIdentifyClicked();
  void OnVerifyToggled(bool on);
  void OnSaveReportClicked();

 signals:
  // A tick has ended the run.
  void runEnded();

 protected:
  // Watches the window for its close request.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool AskStopAndQuit();
  void ShowStatus(const std::string& text);
  // What changes with every tick waits for the next frame; the latest value wins.
  void Redraw();

  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Ui::MainWindowController> ui_;
  std::function<bool()> ask_stop_;
  std::string settings_file_;
  std::string reports_folder_;
  // The position (or the bytes draining) and the bar change with every 2.9 ms tick, far faster
  // than anyone reads them; they are kept as values and put into words and drawn at most once a
  // frame (kFrameMs): formatting the text at every tick would cost more than the tick.
  QTimer frame_;
  std::optional<std::variant<Position, uint64_t>> frame_status_;  // or the bytes draining
  std::optional<int> frame_progress_;

  // Declared in the order the load step creates them. Members go in reverse order, which would
  // take the workflow away while the hand-off could still queue ticks for it: the destructor
  // therefore stops and releases the hand-off first. The MIDI output, the timer, the file
  // source and the clock outlive the workflow that uses them.
  std::unique_ptr<FileChooser> own_chooser_;
  FileChooser* chooser_ = nullptr;
  std::unique_ptr<MidiOutput> own_midi_;
  MidiOutput* midi_ = nullptr;
  std::unique_ptr<PeriodicTimer> timer_;
  std::unique_ptr<TickTimer> handoff_;
  PosixFileSource files_;
  SteadyClock clock_;
  std::unique_ptr<UpdateWorkflow> workflow_;
};

}  // namespace midiflash
