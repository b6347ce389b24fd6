// The update workflow shared by the window and the command line: load, choose a file, start,
// cancel, change destination. It owns the player state and the sequencer and decides every text
// and control state; front ends render them through UpdateView and hand user actions in here.
// All calls come on one thread, the one that also runs the queued playback ticks.
#pragma once

#include <cstdint>
#include <string>

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
#include "ViewState.h"

namespace midiflash {

class UpdateWorkflow {
 public:
  // `appDir` is the folder the open dialog starts in (the one holding the executable).
  UpdateWorkflow(MidiPort& midi, UpdateView& view, FileChooser& chooser, FileSource& files,
                 Clock& clock, TickTimer& timer, std::string appDir);

  // The load step: guidance text, Update and Cancel disabled, the destination list filled with
  // item 0 selected and opened (nothing opened when it is empty), progress 0..100 at 0, tempo 120.
  void WindowDidLoad();
  // Runs the open dialog; a chosen file is read, checked and reset: Ready, Unreadable or Refused.
  // Ignored while File Select is disabled (during an update).
  void OnFileSelClick();
  // Starts a run. Ignored unless Update is enabled (a file was just accepted and reset).
  void OnUpdateButtonClicked();
  // Cancels a run: sets the cancel flag and stops the timer. Ignored unless Cancel is enabled.
  void OnCancelButtonClicked();
  // Opens the destination selected in the list. Ignored while the list is disabled.
  void OnMidiOutSelChanged();
  // One queued playback tick.
  void SmfPlayProc() { seq_.SmfPlayProc(); }

  PlayerState& state() { return s_; }
  Sequencer& sequencer() { return seq_; }
  const FileCheck& fileCheck() const { return check_; }
  // What the controls show now.
  const ViewState& view() const { return view_; }
  // Result of the latest file choice: the check result, or -1 when the file could not be read.
  int32_t lastLoadResult() const { return last_load_result_; }

 private:
  void LoadFile(const std::string& path);

  MidiPort& midi_;
  ViewState view_;
  FileChooser& chooser_;
  FileSource& files_;
  Clock& clock_;
  TickTimer& timer_;
  std::string app_dir_;
  int32_t last_load_result_ = -1;

  PlayerState s_;
  SmfReader reader_;
  FileCheck check_;
  Sequencer seq_;
};

}  // namespace midiflash
