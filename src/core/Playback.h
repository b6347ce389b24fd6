// One run of a checked file: plain cursors over it, the position reached, and the sends of
// whatever has fallen due. A Standard MIDI File plays at a fixed 120 bpm, a System Exclusive file
// one message at a time, each once the previous one has left and a gap has passed. The workflow
// owns one per offered file and calls it on its own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "CheckedFile.h"
#include "TrackReader.h"

namespace midiflash {

// Where a run stands: the elapsed time and how far the file has gone out, in ticks of a Standard
// MIDI File, or in messages and bytes of a System Exclusive file (byMessage).
struct Position {
  int32_t minutes = 0;
  int32_t seconds = 0;  // 0..59
  uint32_t tick = 0;
  uint32_t totalTicks = 0;
  bool byMessage = false;
  uint32_t message = 0;  // messages handed over so far
  uint32_t messages = 0;
  uint64_t bytes = 0;  // the bytes of those messages
  uint64_t totalBytes = 0;
  bool operator==(const Position&) const = default;
};

class Playback {
 public:
  // Hands one message to the MIDI output; returns 0, or the status of a send that failed.
  using Send = std::function<int32_t(const uint8_t* data, size_t size)>;

  // What a playback tick knows when it comes.
  struct Now {
    double elapsed = 0.0;       // seconds since the start
    uint64_t pendingBytes = 0;  // what the output has not yet sent on (MidiOutput::PendingBytes)
    double gapSeconds = 0.0;    // a System Exclusive file's gap between messages
  };

  // What one playback tick reached.
  struct Step {
    Position position;
    int percent = 0;         // of the file's length in ticks, or of its bytes
    bool allEnded = false;   // every track has reached its End of Track, or every message is sent
    int32_t sendStatus = 0;  // the failed send that stopped the run, 0 when none failed
  };

  virtual ~Playback() = default;

  // Sends what the file opens with, before the run: a Standard MIDI File's System Exclusive
  // messages at tick 0 at the head of each track; nothing of a System Exclusive file. Returns 0,
  // or the status of the first send that failed; nothing is sent after a failed send.
  virtual int32_t SendOpening(const Send& send) = 0;
  // The position before the first tick.
  virtual Position Start() const = 0;
  // One playback tick: sends what has fallen due by `now`. Stops at the first failed send;
  // nothing is sent after it in this tick, and the workflow ends the run there.
  virtual Step Advance(const Now& now, const Send& send) = 0;
  virtual bool AllEnded() const = 0;
};

// The playback of `file`, which must be playable, by its kind.
std::unique_ptr<Playback> MakePlayback(std::shared_ptr<const CheckedFile> file);

// A Standard MIDI File at 120 bpm: a cursor per track, every track standing on its first event.
class SmfPlayback final : public Playback {
 public:
  explicit SmfPlayback(std::shared_ptr<const CheckedFile> file);

  // The System Exclusive messages standing at tick 0 at the head of each track, in track order,
  // passing the meta events among them (an End of Track there ends its track).
  int32_t SendOpening(const Send& send) override;
  Position Start() const override;
  // Turns the time since the last tick that advanced into whole ticks (the fraction waits for the
  // next tick, so that a small division still moves), counts every playing track down by them and
  // sends, track by track, every event that has fallen due.
  Step Advance(const Now& now, const Send& send) override;
  bool AllEnded() const override;

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

// A System Exclusive file, one message a tick at most: the first once the output holds nothing
// more, each later one once the output holds nothing more and the gap has passed since a tick
// first saw it so.
class SysExPlayback final : public Playback {
 public:
  explicit SysExPlayback(std::shared_ptr<const CheckedFile> file);

  int32_t SendOpening(const Send&) override { return 0; }
  Position Start() const override;
  Step Advance(const Now& now, const Send& send) override;
  bool AllEnded() const override { return next_ == file_->messages.size(); }

 private:
  std::shared_ptr<const CheckedFile> file_;
  size_t next_ = 0;        // the message to send next
  uint64_t bytes_ = 0;     // of the messages sent
  double left_at_ = -1.0;  // when a tick first saw the output empty, -1 for not yet
};

}  // namespace midiflash
