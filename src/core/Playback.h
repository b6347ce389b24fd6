// One run of a checked file at a fixed 120 bpm: a cursor per track, the position reached, and the
// sends of whatever has fallen due. The workflow owns one per offered file and calls it on its own
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "CheckedFile.h"
#include "TrackReader.h"

namespace midiflash {

// Where a run stands: the elapsed time and the position in ticks.
struct Position {
  int32_t minutes = 0;
  int32_t seconds = 0;  // 0..59
  uint32_t tick = 0;
  uint32_t totalTicks = 0;
  bool operator==(const Position&) const = default;
};

class Playback {
 public:
  // Hands one message to the MIDI output; returns 0, or the status of a send that failed.
  using Send = std::function<int32_t(const uint8_t* data, size_t size)>;

  // What one playback tick reached.
  struct Step {
    Position position;
    int percent = 0;         // of the file's length in ticks
    bool allEnded = false;   // every track has reached its End of Track
    int32_t sendStatus = 0;  // the failed send that stopped the run, 0 when none failed
  };

  // Every track of `file`, which must be playable, stands on its first event.
  explicit Playback(std::shared_ptr<const CheckedFile> file);

  // Sends the System Exclusive messages standing at tick 0 at the head of each track, in track
  // order, passing the meta events among them (an End of Track there ends its track). Returns 0,
  // or the status of the first send that failed; nothing is sent after a failed send.
  int32_t SendOpening(const Send& send);
  // One playback tick, `elapsed` seconds after the start: turns the time since the last tick that
  // advanced into whole ticks (the fraction waits for the next tick, so that a small division still
  // moves), counts every playing track down by them and sends, track by track, every event that
  // has fallen due. Stops at the first failed send; nothing is sent after it.
  Step Advance(double elapsed, const Send& send);

  bool AllEnded() const;
  // True once a failed send has stopped the run.
  bool halted() const { return halted_; }

 private:
  struct Lane {
    TrackCursor cursor;
    TrackEvent event;  // the next event to dispatch
    int64_t wait = 0;  // ticks until it is due
    bool playing = true;
  };
  void ReadNext(Lane& lane);
  int32_t Dispatch(Lane& lane, const Send& send);

  std::shared_ptr<const CheckedFile> file_;
  std::vector<Lane> lanes_;
  std::vector<uint8_t> message_;  // the message being sent, kept to reuse its memory
  double advanced_at_ = 0.0;      // `elapsed` of the last tick that advanced
  uint32_t position_ = 0;
  bool halted_ = false;
};

}  // namespace midiflash
