#include "CableLoad.h"

#include <algorithm>

#include "TrackReader.h"

namespace midiflash {
namespace {

// Whether `bytes` on the cable take longer than `ticks` at 120 bpm. Worked in integers so that a
// message that exactly fills its gap is told apart from one a byte longer:
// bytes × 320 µs > ticks × 500000 µs / division  ⇔  bytes × 2 × division > ticks × 3125.
bool Overruns(uint64_t bytes, uint64_t ticks, uint16_t division) {
  return bytes * 2 * division > ticks * kCableBytesPerSecond;
}

// A track's next message, read ahead.
struct Lane {
  int32_t track;
  TrackCursor cursor;
  TrackEvent next;
};

// The busiest stretch of `length` ticks. Every busiest stretch can be moved to begin at a message,
// so only those starts are tried. Messages come in tick order and are summed per tick in a ring
// of at most `length` ticks: one second at most, however many messages it holds.
class BusiestWindow {
 public:
  explicit BusiestWindow(uint64_t length) : length_(length), ring_(length) {}

  void Add(uint32_t tick, uint64_t bytes, CableLoad& load) {
    if (count_ == 0 || ring_[last_].tick != tick) {
      while (count_ > 0 && ring_[first_].tick + length_ <= tick) Close(load);
      last_ = count_ == 0 ? first_ : Next(last_);
      ring_[last_] = TickBytes{tick, 0};
      ++count_;
    }
    ring_[last_].bytes += bytes;
    in_window_ += bytes;
  }
  void Finish(CableLoad& load) {
    while (count_ > 0) Close(load);
  }

 private:
  struct TickBytes {
    uint64_t tick;
    uint64_t bytes;
  };
  size_t Next(size_t i) const { return i + 1 == ring_.size() ? 0 : i + 1; }
  // The window starting at the oldest tick is complete: every later message falls past its end.
  void Close(CableLoad& load) {
    if (in_window_ > load.busiestSecondBytes) {
      load.busiestSecondBytes = in_window_;
      load.busiestSecondTick = static_cast<uint32_t>(ring_[first_].tick);
    }
    in_window_ -= ring_[first_].bytes;
    first_ = Next(first_);
    --count_;
  }

  uint64_t length_;
  std::vector<TickBytes> ring_;
  size_t first_ = 0;
  size_t last_ = 0;
  size_t count_ = 0;
  uint64_t in_window_ = 0;
};

}  // namespace

CableLoad MeasureCableLoad(const CheckedFile& file) {
  CableLoad load;
  const uint8_t* image = file.image.data();
  const uint32_t size = static_cast<uint32_t>(file.image.size());
  const uint16_t division = file.division;
  // One second is 2 × division ticks.
  BusiestWindow window(uint64_t{division} * 2);

  // The check read these tracks to their ends with the same reader, so no step is refused here.
  ReadRefusal why;
  // Moves a lane to its next message; false at its End of Track.
  const auto advance = [&](Lane& lane) {
    for (;;) {
      const ReadStep step = ReadTrackEvent(image, size, lane.cursor, lane.next, why);
      if (step != ReadStep::kEvent) return false;
      if (lane.next.kind != EventKind::kMeta) return true;
    }
  };

  std::vector<Lane> lanes;
  for (size_t i = 0; i < file.tracks.size(); ++i) {
    Lane lane{static_cast<int32_t>(i), TrackCursor{file.tracks[i].firstEvent, 0, 0}, TrackEvent{}};
    if (advance(lane)) lanes.push_back(lane);
  }

  bool exclusive_pending = false;
  CableOverrun pending;
  while (!lanes.empty()) {
    // The earliest message; lanes stay in track order, so the first at a tick wins.
    size_t at = 0;
    for (size_t k = 1; k < lanes.size(); ++k) {
      if (lanes[k].next.tick < lanes[at].next.tick) at = k;
    }
    // This lane goes on sending until another lane's message is due first: before a later
    // track's message at the same tick, after an earlier track's.
    uint64_t bound = UINT64_MAX;
    for (size_t k = 0; k < lanes.size(); ++k) {
      if (k != at) bound = std::min<uint64_t>(bound, uint64_t{lanes[k].next.tick} + (k > at));
    }
    // The cursor and event are worked on as locals, which the compiler keeps out of memory.
    const int32_t track = lanes[at].track;
    TrackCursor cursor = lanes[at].cursor;
    TrackEvent e = lanes[at].next;
    ReadStep step;
    do {
      const uint64_t bytes = e.WireBytes();
      if (exclusive_pending && Overruns(pending.bytes, e.tick - pending.tick, division)) {
        pending.nextTrack = track;
        pending.nextTick = e.tick;
        load.overruns.push_back(pending);
      }
      window.Add(e.tick, bytes, load);
      exclusive_pending = e.kind != EventKind::kChannel;
      if (exclusive_pending) {
        pending = CableOverrun{track, e.tick, bytes, 0, 0};
        if (e.kind == EventKind::kSysEx &&
            (e.dataLength == 0 || image[e.dataOffset + e.dataLength - 1] != kEscapeStatus)) {
          if (load.splitSysEx++ == 0) {
            load.firstSplitTrack = track;
            load.firstSplitTick = e.tick;
          }
        }
      }
      do {
        step = ReadTrackEvent(image, size, cursor, e, why);
      } while (step == ReadStep::kEvent && e.kind == EventKind::kMeta);
    } while (step == ReadStep::kEvent && e.tick < bound);
    if (step == ReadStep::kEvent) {
      lanes[at].cursor = cursor;
      lanes[at].next = e;
    } else {
      lanes.erase(lanes.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  window.Finish(load);
  return load;
}

}  // namespace midiflash
