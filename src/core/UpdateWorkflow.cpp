#include "UpdateWorkflow.h"

#include "Log.h"

namespace midiflash {
namespace {

std::string LastPathComponent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

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
      seq_(s_, reader_, midi_, files_, clock_, view_, timer_) {}

void UpdateWorkflow::WindowDidLoad() {
  view_.SetFileNameText(s_.cmessage.SELECT_FILE);
  view_.SetUpdateEnabled(false);
  view_.SetCancelEnabled(false);
  view_.ClearDestinations();
  const uint64_t n = midi_.MidiOutDeviceNumber();
  if (n > 0) {
    for (uint64_t i = 0; i < n; ++i) view_.AddDestination(midi_.MidiOutDeviceName(i));
    view_.SelectDestination(0);
    midi_.MidiOutDeviceOpen(view_.SelectedDestination());
  }
  view_.SetProgressRange(0, 100);
  view_.SetProgress(0);
  s_.SmfTempo = 120;
  seq_.CalcClockStep();
}

void UpdateWorkflow::OnFileSelClick() {
  LogLine("OnFileSelClick");
  if (!view_.fileSelEnabled) return;
  chooser_.SetDirectory(app_dir_);
  LogLine("curPath: %s", chooser_.Directory().c_str());
  chooser_.SetAllowedFileType("dat");
  std::optional<std::string> chosen = chooser_.RunModal();
  if (!chosen) return;
  LoadFile(*chosen);
}

void UpdateWorkflow::LoadFile(const std::string& path) {
  s_.fileUrl = path;
  view_.SetFileNameText("<< " + LastPathComponent(path) + " >>");

  std::vector<uint8_t> bytes;
  FileStamp stamp;
  const ReadStatus status = files_.ReadWhole(path, bytes, stamp);
  if (status == ReadStatus::kOpenFailed || status == ReadStatus::kReadFailed) {
    last_load_result_ = -1;
    view_.SetLocationText(kOpenFileError);
    view_.SetUpdateEnabled(false);
  } else {
    int32_t result = kCheckTooLarge;
    if (status == ReadStatus::kOk) {
      s_.SMF.swap(bytes);
      s_.SmfSize = s_.SMF.size();
      result = check_.SmfPlaySet();
    }
    last_load_result_ = result;
    if (result != kCheckPlayable) {
      view_.SetLocationText(kCantPlay);
      view_.SetUpdateEnabled(false);
    } else {
      seq_.AdoptImage(stamp);
      seq_.ResetSequece();
      if (seq_.fileFailed()) {
        // The file changed or went away between the check and the opening sends.
        last_load_result_ = -1;
        view_.SetLocationText(kOpenFileError);
        view_.SetUpdateEnabled(false);
      } else {
        view_.SetLocationText(s_.cmessage.CLICK_UPDATE);
        view_.SetUpdateEnabled(true);
      }
    }
  }
  view_.SetProgress(0);
}

void UpdateWorkflow::OnUpdateButtonClicked() {
  LogLine("OnUpdateButtonClicked");
  if (!view_.updateEnabled) return;
  s_.cancelflag = 0;
  view_.ended = false;
  view_.SetFileSelEnabled(false);
  view_.SetUpdateEnabled(false);
  view_.SetCancelEnabled(true);
  view_.SetMidiOutDeviceEnabled(false);
  view_.SetLocationText(kStartText);
  s_.date = clock_.Now();
  s_.curInterval = clock_.Now() - s_.date;
  s_.lastInterval = s_.curInterval;
  timer_.StartTimer();
}

void UpdateWorkflow::OnCancelButtonClicked() {
  LogLine("OnCancelButtonClicked");
  if (!view_.cancelEnabled) return;
  s_.cancelflag = 1;
  seq_.PlayStop();
  view_.SetFileSelEnabled(true);
  view_.SetUpdateEnabled(false);
  view_.SetCancelEnabled(false);
  view_.SetMidiOutDeviceEnabled(true);
  view_.SetFileNameText(s_.cmessage.SELECT_FILE);
}

void UpdateWorkflow::OnMidiOutSelChanged() {
  LogLine("OnMidiOutSelChanged");
  if (!view_.midiOutDeviceEnabled) return;
  midi_.MidiOutDeviceOpen(view_.SelectedDestination());
}

}  // namespace midiflash
