// The workflow's view on a terminal: status texts and their details as lines, the position (or
// the bytes still draining) with a progress bar redrawn in place at most ten times a second, or as
// plain periodic lines when the output is not a terminal. The window's guidance (where to click)
// is not shown. Every line it prints ends with a newline.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "UpdateView.h"

namespace midiflash {

class CliView : public UpdateView {
 public:
  CliView(std::ostream& out, bool terminal);

  void ShowFileName(const std::string&) override {}
  void ShowSelectFile() override {}
  void ShowNotice(Notice notice) override;
  void ShowPosition(const Position& position) override;
  void ShowSendError(int32_t status) override;
  void ShowDraining(uint64_t pendingBytes) override;
  void ShowDetail(const std::string& text) override;
  void ShowProgress(int percent) override;
  void ShowControls(const Controls&) override {}
  // The command line chooses its destination before the run and never shows the list.
  void ShowDestinations(const std::vector<ListedDestination>&, int64_t) override {}
  // Every line: the asking, then the answer or its absence.
  void ShowIdentity(const IdentityCheck& check, bool done) override;
  // After a verified run, the software revision before and after.
  void RunEnded(const RunResult& result) override;

  // Draws the latest position and progress, at most ten times a second on a terminal and once a
  // second otherwise. The front end's loop calls it; ticks only store what they show.
  void Flush();
  // Prints a line of its own, first drawing the latest position and ending the progress line.
  void PrintLine(const std::string& text);
  // The latest status text and detail shown (for a receipt of a file that did not run).
  const std::string& lastStatus() const { return status_; }
  const std::string& lastDetail() const { return detail_; }

 private:
  void Draw(bool force);

  std::ostream& out_;
  const bool terminal_;
  std::string position_;
  std::string status_, detail_;
  std::string drawn_;
  int progress_ = 0;
  bool line_open_ = false;
  bool ended_ = false;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace midiflash
