#include "CableLoad.h"

#include <algorithm>

#include "EventWalk.h"

namespace midiflash {
namespace {

struct SentMessage {
  uint32_t tick;
  uint32_t bytes;  // 1 + a data length that fits the image, so never above 2^32 - 1
  uint8_t track;
  bool exclusive;  // System Exclusive or escape
};

// Whether `bytes` on the cable take longer than `ticks` at 120 bpm. Worked in integers so that a
// message that exactly fills its gap is told apart from one a byte longer:
// bytes × 320 µs > ticks × 500000 µs / division  ⇔  bytes × 2 × division > ticks × 3125.
bool Overruns(uint64_t bytes, uint64_t ticks, uint16_t division) {
  return bytes * 2 * division > ticks * kCableBytesPerSecond;
}

}  // namespace

int32_t MeasureCableLoad(PlayerState& state, CableLoad& load) {
  load = CableLoad{};
  std::vector<SentMessage> sent;
  EventWalk walk(state);
  const int32_t result = walk.Walk([&](const SmfEvent& e) {
    const uint64_t bytes = e.WireBytes();
    if (bytes == 0) return;
    load.totalBytes += bytes;
    const bool exclusive = e.kind == EventKind::kSysEx || e.kind == EventKind::kEscape;
    sent.push_back(SentMessage{e.tick, static_cast<uint32_t>(bytes), static_cast<uint8_t>(e.track),
                               exclusive});
  });

  const uint16_t division = state.SmfDivision;
  if (division == 0) return result;
  load.timed = true;

  // The walk gives track after track; a stable sort by tick keeps track order, then file order,
  // within a tick. One track alone is already in order unless its tick count wrapped.
  auto by_tick = [](const SentMessage& a, const SentMessage& b) { return a.tick < b.tick; };
  if (!std::is_sorted(sent.begin(), sent.end(), by_tick)) {
    std::stable_sort(sent.begin(), sent.end(), by_tick);
  }

  for (size_t i = 0; i + 1 < sent.size(); ++i) {
    const SentMessage& m = sent[i];
    if (!m.exclusive) continue;
    const SentMessage& next = sent[i + 1];
    if (Overruns(m.bytes, next.tick - m.tick, division)) {
      load.overruns.push_back(CableOverrun{m.track, m.tick, m.bytes, next.track, next.tick});
    }
  }

  // Every busiest stretch can be moved to begin at a message, so only those starts are tried.
  const uint64_t second = uint64_t{division} * 2;
  uint64_t in_window = 0;
  size_t end = 0;
  for (size_t begin = 0; begin < sent.size(); ++begin) {
    const uint64_t limit = uint64_t{sent[begin].tick} + second;
    while (end < sent.size() && sent[end].tick < limit) in_window += sent[end++].bytes;
    if (in_window > load.busiestSecondBytes) {
      load.busiestSecondBytes = in_window;
      load.busiestSecondTick = sent[begin].tick;
    }
    in_window -= sent[begin].bytes;
  }
  return result;
}

}  // namespace midiflash
