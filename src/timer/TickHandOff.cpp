#include "TickHandOff.h"

#include <utility>

namespace midiflash {

TickHandOff::TickHandOff(mmTimer& timer, std::function<void(std::function<void()>)> post,
                         std::function<void()> tick)
    : Timer(timer), post_(std::move(post)), tick_(std::move(tick)) {}

TickHandOff::~TickHandOff() {
  StopTimer();
}

void TickHandOff::StartTimer() {
  Timer.timeKillEvent();
  Timer.timeSetEvent([this] { TimerProc(); });
}

void TickHandOff::StopTimer() {
  Timer.timeKillEvent();
}

void TickHandOff::TimerProc() {
  if (post_) post_(tick_);
}

}  // namespace midiflash
