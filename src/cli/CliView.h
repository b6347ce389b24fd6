// The workflow's view on a terminal: status texts as lines, the position (or the bytes still
// draining) with a progress bar redrawn in place at most ten times a second, or as plain periodic
// lines when the output is not a terminal. Every line it prints ends with a newline.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "UpdateView.h"

class CliView : public midiflash::UpdateView {
 public:
  CliView(std::ostream& out, bool terminal);

  void ShowFileName(const std::string& name) override;
  void ShowSelectFile() override {}
  void ShowNotice(midiflash::Notice notice) override;
  void ShowPosition(const midiflash::Position& position) override;
  void ShowSendError(int32_t status) override;
  void ShowDraining(uint64_t pendingBytes) override;
  void ShowProgress(int percent) override;
  void ShowControls(const midiflash::Controls&) override {}
  void ClearDestinations() override { destinations_.clear(); }
  void AddDestination(const std::string& name) override { destinations_.push_back(name); }
  // The command line chooses its destination before the run and never shows the list again.
  void AddGoneDestination(const std::string&) override {}
  void SelectDestination(int64_t index) override { selected_ = index; }
  int64_t SelectedDestination() const override { return selected_; }
  void RunEnded(const midiflash::RunResult& result) override;

  const std::vector<std::string>& destinations() const { return destinations_; }
  // Draws the latest position and progress, at most ten times a second on a terminal and once a
  // second otherwise. The front end's loop calls it; ticks only store what they show.
  void Flush();
  // Prints a line of its own, first drawing the latest position and ending the progress line.
  void PrintLine(const std::string& text);

 private:
  void Draw(bool force);

  std::ostream& out_;
  const bool terminal_;
  std::vector<std::string> destinations_;
  int64_t selected_ = -1;
  std::string position_;
  std::string drawn_;
  int progress_ = 0;
  bool line_open_ = false;
  bool ended_ = false;
  std::chrono::steady_clock::time_point last_draw_{};
};
