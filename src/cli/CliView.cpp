#include "CliView.h"

#include <cstdio>

CliView::CliView(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

void CliView::PrintLine(const std::string& text) {
  if (line_open_) {
    out_ << '\n';
    line_open_ = false;
  }
  out_ << text << std::endl;
}

void CliView::SetFileNameText(const std::string& text) {
  // The file name is shown once when a file is chosen; the guidance text at the end of a run
  // would only repeat what a terminal user already knows.
  if (text.rfind("<< ", 0) == 0) PrintLine(text);
}

void CliView::SetLocationText(const std::string& text) {
  if (ended_) return;  // ticks queued before the stop repeat the end text
  if (text.rfind("[ ", 0) == 0) {
    position_ = text;
    return;  // drawn with the progress, at a bounded rate
  }
  if (text.empty()) return;  // a send succeeded
  if (text.rfind("Send error", 0) == 0) {
    // Every failing send sets it again; one line per distinct status is enough.
    if (text == last_error_ || ended_) return;
    last_error_ = text;
  }
  Draw(true);  // the position reached so far, before the line that interrupts it
  PrintLine(text);
}

void CliView::SetProgress(double value) {
  if (!ended_) progress_ = value;
}

void CliView::Draw(bool force) {
  if (position_.empty() || position_ == drawn_) return;
  const auto now = std::chrono::steady_clock::now();
  const auto min_gap = terminal_ ? std::chrono::milliseconds(100) : std::chrono::seconds(1);
  if (!force && now - last_draw_ < min_gap) return;
  last_draw_ = now;
  drawn_ = position_;
  const int percent = static_cast<int>(progress_);
  std::string bar(40, '.');
  for (int i = 0; i < percent * 40 / 100 && i < 40; ++i) bar[i] = '#';
  char tail[16];
  std::snprintf(tail, sizeof tail, " %3d%%", percent);
  if (terminal_) {
    out_ << '\r' << position_ << " [" << bar << ']' << tail << "\x1b[K" << std::flush;
    line_open_ = true;
  } else {
    out_ << position_ << tail << std::endl;
  }
}

void CliView::Flush() {
  Draw(false);
}

void CliView::RunEnded(midiflash::RunOutcome) {
  // The end text has already been printed by SetLocationText; later queued ticks repeat it.
  ended_ = true;
}
