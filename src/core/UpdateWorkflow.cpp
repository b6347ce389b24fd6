#include "UpdateWorkflow.h"

#include <cerrno>

#include "Log.h"

namespace midiflash {
namespace {

std::string LastPathComponent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Controls ControlsFor(Phase phase) {
  switch (phase) {
    case Phase::kReady:
      return {true, true, false, true};
    case Phase::kUpdating:
    case Phase::kDraining:
      return {false, false, true, false};
    default:
      return {true, false, false, true};
  }
}

UpdateWorkflow::UpdateWorkflow(MidiPort& midi, UpdateView& view, FileChooser& chooser,
                               FileSource& files, Clock& clock, TickTimer& timer,
                               std::string appDir)
    : midi_(midi),
      view_(view),
      chooser_(chooser),
      files_(files),
      clock_(clock),
      timer_(timer),
      app_dir_(std::move(appDir)),
      reader_(s_),
      check_(s_, reader_),
      seq_(s_, reader_, midi_, files_, clock_) {}

Controls UpdateWorkflow::controls() const {
  Controls c = ControlsFor(phase_);
  c.update = c.update && !chosen_gone_;
  return c;
}

void UpdateWorkflow::SetPhase(Phase phase) {
  phase_ = phase;
  view_.ShowControls(controls());
}

void UpdateWorkflow::WindowDidLoad() {
  view_.ShowSelectFile();
  SetPhase(Phase::kNoFile);
  ShowDestinations();
  view_.ShowProgress(0);
  s_.SmfTempo = 120;
  seq_.CalcClockStep();
}

void UpdateWorkflow::OnFileSelClick() {
  LogLine("OnFileSelClick");
  if (!controls().fileSel) return;
  chooser_.SetDirectory(app_dir_);
  LogLine("curPath: %s", chooser_.Directory().c_str());
  chooser_.SetAllowedFileType("dat");
  std::optional<std::string> chosen = chooser_.RunModal();
  if (!chosen) return;
  LoadFile(*chosen);
}

void UpdateWorkflow::NotOpened(int32_t status) {
  opening_error_ = status;
  SetPhase(Phase::kNotOpened);
  view_.ShowSendError(status);
}

void UpdateWorkflow::LoadFile(const std::string& path) {
  s_.fileUrl = path;
  view_.ShowFileName(LastPathComponent(path));

  std::vector<uint8_t> bytes;
  FileStamp stamp;
  const ReadStatus status = files_.ReadWhole(path, bytes, stamp);
  if (status == ReadStatus::kOpenFailed || status == ReadStatus::kReadFailed) {
    last_load_result_ = -1;
    SetPhase(Phase::kUnreadable);
    view_.ShowNotice(Notice::kOpenFileError);
  } else {
    int32_t result = kCheckTooLarge;
    if (status == ReadStatus::kOk) {
      s_.SMF.swap(bytes);
      s_.SmfSize = s_.SMF.size();
      result = check_.SmfPlaySet();
    }
    last_load_result_ = result;
    if (result != kCheckPlayable) {
      SetPhase(Phase::kRefused);
      view_.ShowNotice(Notice::kCantPlay);
    } else {
      seq_.AdoptImage(stamp);
      seq_.ResetSequece();
      if (seq_.fileFailed()) {
        // The file changed or went away between the check and the opening sends.
        last_load_result_ = -1;
        SetPhase(Phase::kUnreadable);
        view_.ShowNotice(Notice::kOpenFileError);
      } else if (const int32_t failed = DeliveryFailure()) {
        // The device did not get the messages that open the update: starting it would send the
        // rest to a device that is not ready for it.
        NotOpened(failed);
      } else {
        SetPhase(Phase::kReady);
        view_.ShowNotice(Notice::kClickUpdate);
      }
    }
  }
  view_.ShowProgress(0);
}

void UpdateWorkflow::OnUpdateButtonClicked() {
  LogLine("OnUpdateButtonClicked");
  if (phase_ != Phase::kReady) return;
  // A backend that queues may learn only now that an opening message did not arrive.
  if (const int32_t failed = midi_.DeliveryError()) return NotOpened(failed);
  warnings_at_start_ = midi_.DeliveryWarnings();
  SetPhase(Phase::kUpdating);
  view_.ShowNotice(Notice::kStart);
  s_.date = clock_.Now();
  s_.curInterval = clock_.Now() - s_.date;
  s_.lastInterval = s_.curInterval;
  timer_.StartTimer();
}

void UpdateWorkflow::OnCancelButtonClicked() {
  LogLine("OnCancelButtonClicked");
  if (!running()) return;
  // The message leaving now finishes; nothing after it goes out, so a cancel takes effect at once
  // even when a slow device still has seconds of queued bytes to take.
  const bool dropped = midi_.PendingBytes() > 0;
  midi_.DropPending();
  // The run ends here, not at a later tick: once the timer stops, no tick may be queued to end it.
  // Tracks that had all ended with nothing left to drain were delivered whole all the same.
  if (seq_.AllEnded() && !dropped && DeliveryFailure() == 0) return EndRun(RunOutcome::kCompleted);
  EndRun(RunOutcome::kCanceled);
}

void UpdateWorkflow::OnMidiOutSelChanged() {
  LogLine("OnMidiOutSelChanged");
  if (!controls().midiOutDevice) return;
  const int64_t index = view_.SelectedDestination();
  // The gone item (or none) opens nothing; the choice stays as it was.
  if (index < 0 || static_cast<uint64_t>(index) >= destinations_.size()) return;
  const bool gone_shown = chosen_gone_;
  Choose(static_cast<size_t>(index));
  // The gone item has served its purpose once another destination is chosen.
  if (gone_shown && !chosen_gone_) ShowDestinations();
  view_.ShowControls(controls());
}

void UpdateWorkflow::Choose(size_t index) {
  chosen_ = destinations_[index];
  chosen_gone_ = false;
  if (midi_.MidiOutDeviceOpenId(chosen_.id) == -ENOENT) {
    // It went away after the list was shown: say so rather than open whatever stands there now.
    ShowDestinations();
  }
}

void UpdateWorkflow::OnDestinationsChanged() {
  if (running()) {
    list_changed_ = true;
    return;
  }
  ShowDestinations();
  view_.ShowControls(controls());
}

void UpdateWorkflow::ShowDestinations() {
  list_changed_ = false;
  destinations_ = midi_.MidiOutDevices();
  view_.ClearDestinations();
  for (const MidiDestination& d : destinations_) view_.AddDestination(d.name);
  if (chosen_.id.empty()) {
    // Nothing chosen yet (the list was empty): the first destination, as at load.
    if (!destinations_.empty()) {
      view_.SelectDestination(0);
      Choose(0);
    }
    return;
  }
  for (size_t i = 0; i < destinations_.size(); ++i) {
    if (destinations_[i].id != chosen_.id) continue;
    view_.SelectDestination(static_cast<int64_t>(i));
    if (chosen_gone_) {
      // Back again: its connection went with it, so it is opened anew.
      chosen_gone_ = false;
      midi_.MidiOutDeviceOpenId(chosen_.id);
    }
    return;
  }
  chosen_gone_ = true;
  view_.AddGoneDestination(chosen_.name);
  view_.SelectDestination(static_cast<int64_t>(destinations_.size()));
  // The device that took the file's opening messages is gone; should it come back, it will not
  // have them: the file has to be chosen again.
  if (phase_ == Phase::kReady) NotOpened(-ENOENT);
}

int32_t UpdateWorkflow::DeliveryFailure() {
  if (const int32_t failed = seq_.sendError()) return failed;
  return midi_.DeliveryError();
}

void UpdateWorkflow::SmfPlayProc() {
  switch (phase_) {
    case Phase::kUpdating:
      return PlayTick();
    case Phase::kDraining:
      return DrainTick();
    default:
      // Ticks queued before the timer stopped: the end is shown already.
      return;
  }
}

void UpdateWorkflow::PlayTick() {
  // A failure the output learnt of since the previous tick: nothing more may go out.
  if (const int32_t failed = midi_.DeliveryError()) return EndRun(RunOutcome::kSendFailed, failed);
  const Sequencer::Tick tick = seq_.SmfPlayProc();
  view_.ShowPosition(tick.position);
  view_.ShowProgress(tick.percent);
  if (seq_.fileFailed()) return EndRun(RunOutcome::kFileFailed);
  if (const int32_t failed = DeliveryFailure()) return EndRun(RunOutcome::kSendFailed, failed);
  if (!tick.allEnded) return;
  // Handed over is not delivered: the run completes once the device has taken every byte.
  if (const uint64_t pending = midi_.PendingBytes()) {
    SetPhase(Phase::kDraining);
    view_.ShowDraining(pending);
    return;
  }
  EndRun(RunOutcome::kCompleted);
}

void UpdateWorkflow::DrainTick() {
  if (const int32_t failed = midi_.DeliveryError()) return EndRun(RunOutcome::kSendFailed, failed);
  const uint64_t pending = midi_.PendingBytes();
  if (pending == 0) return EndRun(RunOutcome::kCompleted);
  view_.ShowDraining(pending);
}

void UpdateWorkflow::EndRun(RunOutcome outcome, int32_t status) {
  timer_.StopTimer();
  result_ = RunResult{outcome, status, 0};
  if (outcome == RunOutcome::kCompleted) {
    result_.deliveryWarnings = midi_.DeliveryWarnings() - warnings_at_start_;
  }
  view_.ShowSelectFile();
  switch (outcome) {
    case RunOutcome::kCompleted:
      view_.ShowNotice(Notice::kCompleted);
      break;
    case RunOutcome::kCanceled:
      view_.ShowNotice(Notice::kCanceled);
      break;
    case RunOutcome::kSendFailed:
      view_.ShowSendError(status);
      break;
    case RunOutcome::kFileFailed:
      view_.ShowNotice(Notice::kOpenFileError);
      break;
  }
  SetPhase(Phase::kEnded);
  view_.ShowProgress(0);
  if (list_changed_) OnDestinationsChanged();
  view_.RunEnded(result_);
}

}  // namespace midiflash
