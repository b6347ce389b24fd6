// What the workflow shows: the controls of the window, as the core decides them. The Qt window
// renders them as widgets, the command line as text.
#pragma once

#include <cstdint>
#include <string>

namespace midiflash {

// How a run ended, for front ends that act on it (the command line turns it into an exit status).
enum class RunOutcome {
  kCompleted,   // every track reached End of Track, every send succeeded
  kCanceled,    // the user cancelled
  kSendFailed,  // every track ended, but at least one send failed
  kFileFailed,  // the file could not be read again, or changed size, during the run
};

class UpdateView {
 public:
  virtual ~UpdateView() = default;

  virtual void SetFileNameText(const std::string& text) = 0;  // FileNameBox
  virtual void SetLocationText(const std::string& text) = 0;  // LocationBox, the status line
  virtual void SetProgressRange(double min, double max) = 0;  // Progress
  virtual void SetProgress(double value) = 0;
  virtual void SetFileSelEnabled(bool enabled) = 0;
  virtual void SetUpdateEnabled(bool enabled) = 0;
  virtual void SetCancelEnabled(bool enabled) = 0;
  virtual void SetMidiOutDeviceEnabled(bool enabled) = 0;

  // The destination list (midiOutDevice).
  virtual void ClearDestinations() = 0;
  virtual void AddDestination(const std::string& name) = 0;
  virtual void SelectDestination(int64_t index) = 0;
  // Index of the selected item, -1 when none is selected.
  virtual int64_t SelectedDestination() const = 0;

  // Called last when a tick has ended the run, after the texts and controls were set; again for
  // every tick queued before the timer stopped.
  virtual void RunEnded(RunOutcome outcome) { (void)outcome; }
};

}  // namespace midiflash
