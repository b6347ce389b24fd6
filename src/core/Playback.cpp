#include "Playback.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

namespace midiflash {
namespace {

// More ticks than any file holds: a tick this long ends every track.
constexpr double kMaxStepTicks = 1e15;

std::pair<int32_t, int32_t> MinutesAndSeconds(double elapsed) {
  const double clamped = std::clamp(elapsed, 0.0, double{std::numeric_limits<int32_t>::max()});
  const auto seconds = static_cast<int32_t>(clamped);
  return {seconds / 60, seconds % 60};
}

}  // namespace

std::unique_ptr<Playback> MakePlayback(std::shared_ptr<const CheckedFile> file) {
  if (file->kind == FileKind::kSysEx) return std::make_unique<SysExPlayback>(std::move(file));
  return std::make_unique<SmfPlayback>(std::move(file));
}

SmfPlayback::SmfPlayback(std::shared_ptr<const CheckedFile> file) : file_(std::move(file)) {
  lanes_.resize(file_->tracks.size());
  for (size_t i = 0; i < lanes_.size(); ++i) {
    lanes_[i].cursor = TrackCursor{file_->tracks[i].firstEvent, 0, 0};
    ReadNext(lanes_[i]);
  }
}

void SmfPlayback::ReadNext(Lane& lane) {
  ReadRefusal why;
  const ReadStep step =
      ReadTrackEvent(file_->image.data(), static_cast<uint32_t>(file_->image.size()), lane.cursor,
                     lane.event, why);
  // The check read every track to its End of Track with this reader; the image never changes.
  assert(step != ReadStep::kRefused);
  (void)step;
  lane.wait += lane.event.delta;
}

int32_t SmfPlayback::Dispatch(Lane& lane, const Send& send) {
  const TrackEvent& e = lane.event;
  if (e.kind == EventKind::kMeta) {
    if (e.data1 == kEndOfTrackType) {
      lane.playing = false;
      return 0;
    }
  } else {
    message_.clear();
    AppendWireMessage(file_->image.data(), e, message_);
    if (const int32_t status = send(message_.data(), message_.size())) {
      // Once a message is lost the device is in a state the rest of the file was not written for.
      halted_ = true;
      return status;
    }
  }
  ReadNext(lane);
  return 0;
}

int32_t SmfPlayback::SendOpening(const Send& send) {
  for (Lane& lane : lanes_) {
    while (lane.playing && lane.event.kind != EventKind::kChannel && lane.wait <= 0) {
      if (const int32_t status = Dispatch(lane, send)) return status;
    }
  }
  return 0;
}

Position SmfPlayback::Start() const {
  Position p;
  p.totalTicks = file_->totalTicks;
  return p;
}

Playback::Step SmfPlayback::Advance(const Now& now, const Send& send) {
  const double elapsed = now.elapsed;
  // 120 bpm: a quarter note, `division` ticks, lasts half a second.
  const double exact = file_->division * (elapsed - advanced_at_) / 0.5;
  const uint64_t ticks = exact >= 1.0 ? static_cast<uint64_t>(std::min(exact, kMaxStepTicks)) : 0;
  // A tick shorter than one MIDI tick would otherwise lose all of its time, and a file with a
  // small division would never move: time builds up until it makes a whole tick.
  if (ticks != 0) advanced_at_ = elapsed;

  Step step;
  for (Lane& lane : lanes_) {
    if (halted_) break;
    if (!lane.playing) continue;
    lane.wait -= static_cast<int64_t>(ticks);
    while (lane.playing && lane.wait <= 0) {
      if ((step.sendStatus = Dispatch(lane, send)) != 0) break;
    }
  }

  const uint32_t total = file_->totalTicks;
  position_ = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{position_} + ticks, total));
  step.position = Start();
  std::tie(step.position.minutes, step.position.seconds) = MinutesAndSeconds(elapsed);
  step.position.tick = position_;
  // A file of length 0 stands at its end from the start.
  step.percent = total == 0 ? 100 : static_cast<int>(uint64_t{position_} * 100 / total);
  step.allEnded = AllEnded();
  return step;
}

bool SmfPlayback::AllEnded() const {
  return std::none_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return l.playing; });
}

SysExPlayback::SysExPlayback(std::shared_ptr<const CheckedFile> file) : file_(std::move(file)) {}

Position SysExPlayback::Start() const {
  Position p;
  p.byMessage = true;
  p.messages = static_cast<uint32_t>(file_->messages.size());
  p.totalBytes = file_->wireBytes;
  return p;
}

Playback::Step SysExPlayback::Advance(const Now& now, const Send& send) {
  Step step;
  // A device writes a block to its memory only once the whole block has arrived; the gap is its
  // time for that, so it counts from when the output has sent every byte on, not from the send.
  if (!AllEnded() && now.pendingBytes == 0) {
    if (left_at_ < 0) left_at_ = now.elapsed;
    // The first message waits for nothing but an empty output.
    const double gap = next_ == 0 ? 0.0 : now.gapSeconds;
    if (now.elapsed - left_at_ >= gap) {
      const MessageSpan& m = file_->messages[next_];
      step.sendStatus = send(file_->image.data() + m.offset, m.length);
      // A failed message stays the next one: the run ends with it, and nothing follows it.
      if (step.sendStatus == 0) {
        ++next_;
        bytes_ += m.length;
        left_at_ = -1.0;
      }
    }
  }
  step.position = Start();
  std::tie(step.position.minutes, step.position.seconds) = MinutesAndSeconds(now.elapsed);
  step.position.message = static_cast<uint32_t>(next_);
  step.position.bytes = bytes_;
  step.percent = file_->wireBytes == 0 ? 100 : static_cast<int>(bytes_ * 100 / file_->wireBytes);
  step.allEnded = AllEnded();
  return step;
}

}  // namespace midiflash
