// The workflow's view on a terminal: status texts as lines, the position and a progress bar
// redrawn in place (at most ten times a second), or as plain periodic lines when the output is
// not a terminal.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "UpdateView.h"

class CliView : public midiflash::UpdateView {
 public:
  CliView(std::ostream& out, bool terminal);

  void SetFileNameText(const std::string& text) override;
  void SetLocationText(const std::string& text) override;
  void SetProgressRange(double, double) override {}
  void SetProgress(double value) override;
  void SetFileSelEnabled(bool) override {}
  void SetUpdateEnabled(bool) override {}
  void SetCancelEnabled(bool) override {}
  void SetMidiOutDeviceEnabled(bool) override {}
  void ClearDestinations() override { destinations_.clear(); }
  void AddDestination(const std::string& name) override { destinations_.push_back(name); }
  void SelectDestination(int64_t index) override { selected_ = index; }
  int64_t SelectedDestination() const override { return selected_; }
  void RunEnded(midiflash::RunOutcome outcome) override;

  const std::vector<std::string>& destinations() const { return destinations_; }
  // Draws the latest position and progress, at most ten times a second on a terminal and once a
  // second otherwise. The front end's loop calls it; ticks only store what they show.
  void Flush();
  // Prints a line of its own, first ending an in-place progress line.
  void PrintLine(const std::string& text);

 private:
  void Draw(bool force);

  std::ostream& out_;
  const bool terminal_;
  std::vector<std::string> destinations_;
  int64_t selected_ = -1;
  std::string position_;
  std::string drawn_;
  std::string last_error_;
  double progress_ = 0;
  bool line_open_ = false;
  bool ended_ = false;
  std::chrono::steady_clock::time_point last_draw_{};
};
