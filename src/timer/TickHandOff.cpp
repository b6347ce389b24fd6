#include "TickHandOff.h"

#include <utility>

namespace midiflash {

TickHandOff::TickHandOff(PeriodicTimer& timer, std::function<void(std::function<void()>)> post,
                         std::function<void()> tick)
    : timer_(timer), post_(std::move(post)), tick_(std::move(tick)) {}

TickHandOff::~TickHandOff() {
  StopTimer();
}

void TickHandOff::StartTimer() {
  timer_.Stop();
  timer_.Start([this] { QueueTick(); });
}

void TickHandOff::StopTimer() {
  timer_.Stop();
}

void TickHandOff::QueueTick() {
  if (post_) post_(tick_);
}

}  // namespace midiflash
