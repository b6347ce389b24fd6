// An UpdateView that remembers what it was last told and passes every call on to the front end's
// view. The workflow reads it to refuse actions whose control is disabled, and front ends and
// tests read it to know the state of the workflow.
#pragma once

#include <string>

#include "UpdateView.h"

namespace midiflash {

class ViewState : public UpdateView {
 public:
  explicit ViewState(UpdateView& target) : target_(target) {}

  void SetFileNameText(const std::string& text) override {
    fileName = text;
    target_.SetFileNameText(text);
  }
  void SetLocationText(const std::string& text) override {
    location = text;
    target_.SetLocationText(text);
  }
  void SetProgressRange(double min, double max) override { target_.SetProgressRange(min, max); }
  void SetProgress(double value) override {
    progress = value;
    target_.SetProgress(value);
  }
  void SetFileSelEnabled(bool e) override {
    fileSelEnabled = e;
    target_.SetFileSelEnabled(e);
  }
  void SetUpdateEnabled(bool e) override {
    updateEnabled = e;
    target_.SetUpdateEnabled(e);
  }
  void SetCancelEnabled(bool e) override {
    cancelEnabled = e;
    target_.SetCancelEnabled(e);
  }
  void SetMidiOutDeviceEnabled(bool e) override {
    midiOutDeviceEnabled = e;
    target_.SetMidiOutDeviceEnabled(e);
  }
  void ClearDestinations() override { target_.ClearDestinations(); }
  void AddDestination(const std::string& name) override { target_.AddDestination(name); }
  void SelectDestination(int64_t index) override { target_.SelectDestination(index); }
  int64_t SelectedDestination() const override { return target_.SelectedDestination(); }
  void RunEnded(RunOutcome outcome) override {
    ended = true;
    lastOutcome = outcome;
    target_.RunEnded(outcome);
  }

  std::string fileName;
  std::string location;
  double progress = 0.0;
  // The window's controls start enabled; the load step disables Update and Cancel.
  bool fileSelEnabled = true;
  bool updateEnabled = true;
  bool cancelEnabled = true;
  bool midiOutDeviceEnabled = true;
  bool ended = false;  // a tick has ended a run since the latest start
  RunOutcome lastOutcome = RunOutcome::kCompleted;

 private:
  UpdateView& target_;
};

}  // namespace midiflash
