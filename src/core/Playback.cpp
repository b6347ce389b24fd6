#include "Playback.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace midiflash {
namespace {

// More ticks than any file holds: a tick this long ends every track.
constexpr double kMaxStepTicks = 1e15;

}  // namespace

Playback::Playback(std::shared_ptr<const CheckedFile> file) : file_(std::move(file)) {
  lanes_.resize(file_->tracks.size());
  for (size_t i = 0; i < lanes_.size(); ++i) {
    lanes_[i].cursor = TrackCursor{file_->tracks[i].firstEvent, 0, 0};
    ReadNext(lanes_[i]);
  }
}

void Playback::ReadNext(Lane& lane) {
  ReadRefusal why;
  const ReadStep step =
      ReadTrackEvent(file_->image.data(), static_cast<uint32_t>(file_->image.size()), lane.cursor,
                     lane.event, why);
  // The check read every track to its End of Track with this reader; the image never changes.
  assert(step != ReadStep::kRefused);
  (void)step;
  lane.wait += lane.event.delta;
}

int32_t Playback::Dispatch(Lane& lane, const Send& send) {
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

int32_t Playback::SendOpening(const Send& send) {
  for (Lane& lane : lanes_) {
    while (lane.playing && lane.event.kind != EventKind::kChannel && lane.wait <= 0) {
      if (const int32_t status = Dispatch(lane, send)) return status;
    }
  }
  return 0;
}

Playback::Step Playback::Advance(double elapsed, const Send& send) {
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
  const double clamped = std::clamp(elapsed, 0.0, double{std::numeric_limits<int32_t>::max()});
  const auto seconds = static_cast<int32_t>(clamped);
  step.position = Position{seconds / 60, seconds % 60, position_, total};
  // A file of length 0 stands at its end from the start.
  step.percent = total == 0 ? 100 : static_cast<int>(uint64_t{position_} * 100 / total);
  step.allEnded = AllEnded();
  return step;
}

bool Playback::AllEnded() const {
  return std::none_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return l.playing; });
}

}  // namespace midiflash
