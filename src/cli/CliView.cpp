#include "CliView.h"

#include <cstdio>

#include "StatusText.h"

namespace midiflash {

CliView::CliView(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

void CliView::PrintLine(const std::string& text) {
  Draw(true);  // the position reached so far, before the line that interrupts it
  if (line_open_) {
    out_ << '\n';
    line_open_ = false;
  }
  out_ << text << std::endl;
}

void CliView::ShowNotice(Notice notice) {
  if (IsWindowGuidance(notice)) return;
  status_ = NoticeText(notice);
  PrintLine(status_);
}

void CliView::ShowPosition(const Position& position) {
  position_ = PositionText(position);  // drawn with the progress, at a bounded rate
}

void CliView::ShowSendError(int32_t status) {
  status_ = SendErrorText(status);
  PrintLine(status_);
}

void CliView::ShowDraining(uint64_t pendingBytes) {
  position_ = DrainingText(pendingBytes);
}

void CliView::ShowDetail(const std::string& text) {
  detail_ = text;
  if (!text.empty()) PrintLine(text);
}

void CliView::ShowIdentity(const IdentityCheck& check, bool done) {
  PrintLine(IdentityCheckText(check, done));
}

void CliView::RunEnded(const RunResult& result) {
  ended_ = true;
  if (result.after.asked) PrintLine(RevisionChangeText(result.before, result.after));
}

void CliView::ShowProgress(int percent) {
  if (!ended_) progress_ = percent;
}

void CliView::Draw(bool force) {
  if (ended_ || position_.empty() || position_ == drawn_) return;
  const auto now = std::chrono::steady_clock::now();
  const auto min_gap = terminal_ ? std::chrono::milliseconds(100) : std::chrono::seconds(1);
  if (!force && now - last_draw_ < min_gap) return;
  last_draw_ = now;
  drawn_ = position_;
  std::string bar(40, '.');
  for (int i = 0; i < progress_ * 40 / 100 && i < 40; ++i) bar[i] = '#';
  char tail[16];
  std::snprintf(tail, sizeof tail, " %3d%%", progress_);
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

}  // namespace midiflash
