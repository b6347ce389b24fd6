// What the workflow shows. The workflow decides every state and value and hands them over as
// typed calls; a front end renders each call, with the words of StatusText.h, and never has to
// recover a state from a text.
#pragma once

#include <cstdint>
#include <string>

namespace midiflash {

// Where the workflow stands. Every control state follows from it (ControlsFor).
enum class Phase {
  kNoFile,      // loaded, no file chosen yet
  kReady,       // a file was read, accepted and reset: Update starts it
  kUnreadable,  // the chosen file could not be opened or read
  kRefused,     // the file check refused the chosen file
  kNotOpened,   // accepted, but a message that opens it (at tick 0) could not be sent
  kUpdating,    // a run is playing
  kDraining,    // every track has ended; the last bytes are still on their way to the device
  kEnded,       // a tick or Cancel ended the run (RunResult says how)
};

// Which controls accept the user's actions.
struct Controls {
  bool fileSel;
  bool update;
  bool cancel;
  bool midiOutDevice;
  bool operator==(const Controls&) const = default;
};
Controls ControlsFor(Phase phase);

// The fixed texts of the status line.
enum class Notice { kClickUpdate, kOpenFileError, kCantPlay, kStart, kCompleted, kCanceled };

// The status line during a run: elapsed time and position in ticks.
struct Position {
  int32_t minutes = 0;
  int32_t seconds = 0;  // 0..59, or below 0 when the clock went back
  uint32_t nTotalClock = 0;
  uint32_t tTotalClock = 0;
  bool operator==(const Position&) const = default;
};

enum class RunOutcome {
  kCompleted,   // every track ended and every byte left the computer for the device
  kCanceled,    // the user cancelled
  kSendFailed,  // a message could not be delivered; nothing was sent after it
  kFileFailed,  // the file could not be read again, or changed, during the run
};

struct RunResult {
  RunOutcome outcome = RunOutcome::kCompleted;
  int32_t sendError = 0;  // kSendFailed: the status of the failure
  // kCompleted: how many times during the run the MIDI service may have lost messages without
  // telling the sender; above 0 the delivery may be incomplete.
  uint64_t deliveryWarnings = 0;
};

class UpdateView {
 public:
  virtual ~UpdateView() = default;

  // The file-name field: "<< name >>" for a chosen file, or the guidance to choose one.
  virtual void ShowFileName(const std::string& name) = 0;
  virtual void ShowSelectFile() = 0;
  // The status line.
  virtual void ShowNotice(Notice notice) = 0;
  virtual void ShowPosition(const Position& position) = 0;
  virtual void ShowSendError(int32_t status) = 0;
  virtual void ShowDraining(uint64_t pendingBytes) = 0;
  // The progress bar, 0..100.
  virtual void ShowProgress(int percent) = 0;
  virtual void ShowControls(const Controls& controls) = 0;

  // The destination list (midiOutDevice).
  virtual void ClearDestinations() = 0;
  virtual void AddDestination(const std::string& name) = 0;
  // The chosen destination after it went away, as the last item (GoneDestinationText).
  virtual void AddGoneDestination(const std::string& name) = 0;
  virtual void SelectDestination(int64_t index) = 0;
  // Index of the selected item, -1 when none is selected.
  virtual int64_t SelectedDestination() const = 0;

  // Called once per run, last, when a tick or Cancel has ended it (after the texts and controls).
  virtual void RunEnded(const RunResult& result) = 0;
};

}  // namespace midiflash
