// The update workflow shared by the window and the command line: load, choose a file, start,
// cancel, change destination, and the playback tick that follows a run to its end. It owns the
// player state and the sequencer, holds the phase, and decides every text and control state;
// front ends render them through UpdateView and hand user actions in here.
// All calls come on one thread, the one that also runs the queued playback ticks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Clock.h"
#include "FileCheck.h"
#include "FileChooser.h"
#include "FileSource.h"
#include "MidiPort.h"
#include "PlayerState.h"
#include "Sequencer.h"
#include "SmfReader.h"
#include "TickTimer.h"
#include "UpdateView.h"

namespace midiflash {

class UpdateWorkflow {
 public:
  // `appDir` is the folder the open dialog starts in (the one holding the executable).
  UpdateWorkflow(MidiPort& midi, UpdateView& view, FileChooser& chooser, FileSource& files,
                 Clock& clock, TickTimer& timer, std::string appDir);

  // The load step: guidance text, Update and Cancel disabled, the destination list filled with
  // item 0 selected and opened (nothing opened when it is empty), progress at 0, tempo 120.
  void WindowDidLoad();
  // Runs the open dialog; a chosen file is read, checked and reset: Ready, Unreadable, Refused,
  // or NotOpened when a message at its tick 0 could not be sent. Ignored while updating.
  void OnFileSelClick();
  // Starts a run. Ignored unless Ready. A delivery failure of the opening messages reported since
  // the file choice leaves the run unstarted (NotOpened).
  void OnUpdateButtonClicked();
  // Cancels a run: drops what still waits to go out, stops the timer and ends the run at once with
  // the cancel text (the completion text when every track had ended and nothing was dropped);
  // ticks still queued send nothing. Ignored unless Updating or Draining.
  void OnCancelButtonClicked();
  // Opens the destination selected in the list, by its identity: one that went away since the
  // list was shown is not replaced by another (the list is read again and shows it as gone).
  // Choosing a listed destination enables Update again (when a file is Ready). Ignored while
  // updating.
  void OnMidiOutSelChanged();
  // The MIDI service's destinations may have changed; front ends queue this onto the workflow's
  // thread. Outside a run the list is read again at once: the chosen destination stays selected
  // wherever it now stands, or, gone, stays as the last item marked so, with Update disabled until
  // a destination is chosen; a file that was Ready becomes NotOpened (-ENOENT), since its opening
  // messages went to the device that left. A list that was empty selects and opens its first new
  // item, as the
  // load step does. During a run the list is read again when the run has ended.
  void OnDestinationsChanged();
  // One queued playback tick. While Updating it advances the run; once every track has ended it
  // waits (Draining) until the MIDI output has nothing pending; it ends the run at the first
  // failed send or delivery error, at the end, or after a cancel. Ticks after the end do nothing.
  void SmfPlayProc();

  Phase phase() const { return phase_; }
  // ControlsFor the phase, with Update disabled while the chosen destination is gone.
  Controls controls() const;
  // The destinations as the list shows them (without a gone item), with their identities.
  const std::vector<MidiDestination>& destinations() const { return destinations_; }
  // Updating or Draining: the device is being written to.
  bool running() const { return phase_ == Phase::kUpdating || phase_ == Phase::kDraining; }
  // How the latest run ended; meaningful in phase Ended.
  const RunResult& result() const { return result_; }
  // Status of the failed opening send in phase NotOpened.
  int32_t openingError() const { return opening_error_; }
  // Result of the latest file choice: the check result, or -1 when the file could not be read.
  int32_t lastLoadResult() const { return last_load_result_; }
  const PlayerState& state() const { return s_; }

 private:
  void LoadFile(const std::string& path);
  // Reads the destinations and shows them, keeping the chosen one selected or marked gone.
  void ShowDestinations();
  // Makes list entry `index` the chosen destination and opens it.
  void Choose(size_t index);
  void SetPhase(Phase phase);
  void NotOpened(int32_t status);
  void PlayTick();
  void DrainTick();
  void EndRun(RunOutcome outcome, int32_t status = 0);
  int32_t DeliveryFailure();

  MidiPort& midi_;
  UpdateView& view_;
  FileChooser& chooser_;
  FileSource& files_;
  Clock& clock_;
  TickTimer& timer_;
  std::string app_dir_;

  Phase phase_ = Phase::kNoFile;
  RunResult result_;
  int32_t opening_error_ = 0;
  int32_t last_load_result_ = -1;
  uint64_t warnings_at_start_ = 0;

  std::vector<MidiDestination> destinations_;
  // The chosen destination by identity; empty id when none was ever chosen.
  MidiDestination chosen_;
  bool chosen_gone_ = false;
  // The service reported a change during a run.
  bool list_changed_ = false;

  PlayerState s_;
  SmfReader reader_;
  FileCheck check_;
  Sequencer seq_;
};

}  // namespace midiflash
