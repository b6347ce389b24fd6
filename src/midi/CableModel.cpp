#include "CableModel.h"

#include <algorithm>
#include <cmath>

namespace midiflash {
namespace {

std::chrono::nanoseconds BytesAt(double bytes, double rate) {
  return std::chrono::nanoseconds(static_cast<int64_t>(std::ceil(bytes * 1e9 / rate)));
}

}  // namespace

CableModel::TimePoint CableModel::ReadyAt(size_t n, TimePoint now) const {
  const size_t room = n >= ahead_bytes_ ? 0 : ahead_bytes_ - n;
  return std::max(now, pace_end_ - BytesAt(static_cast<double>(room), kBytesPerSecond));
}

void CableModel::Handed(size_t n, TimePoint now) {
  pace_end_ = std::max(pace_end_, now) + BytesAt(static_cast<double>(n), kBytesPerSecond);
  drain_end_ = std::max(drain_end_, now) + BytesAt(static_cast<double>(n), kDrainBytesPerSecond);
}

uint64_t CableModel::Backlog(TimePoint now) const {
  if (drain_end_ <= now) return drain_end_ + kSettle > now ? 1 : 0;
  const double seconds = std::chrono::duration<double>(drain_end_ - now).count();
  // Less than a nanosecond's worth left over from rounding is no byte.
  return static_cast<uint64_t>(std::ceil(seconds * kDrainBytesPerSecond - 1e-5));
}

}  // namespace midiflash
