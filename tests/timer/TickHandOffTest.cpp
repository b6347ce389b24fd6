// The hand-off of timer ticks to the main thread, through a real timer and a MainQueue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "MainQueue.h"
#include "TickHandOff.h"

namespace midiflash {
namespace {

using namespace std::chrono_literals;

TEST(TickHandOff, OneTickPerTimerCallInOrderThreeAtStartNoneAfterStopOrDestruction) {
  const std::thread::id owner = std::this_thread::get_id();
  MainQueue queue;
  std::atomic<int> posted{0}, postedHere{0};
  std::string journal;  // main thread only: 'T' for a tick, other letters for marks
  mmTimer timer;
  auto handOff = std::make_unique<TickHandOff>(
      timer,
      [&](std::function<void()> task) {
        ++posted, postedHere += std::this_thread::get_id() == owner;
        queue.Post(std::move(task));
      },
      [&] { journal += 'T'; });
  const auto mark = [&](char c) { queue.Post([&journal, c] { journal += c; }); };
  mark('a');
  handOff->TimerProc();
  mark('b');
  handOff->TimerProc();
  EXPECT_EQ(journal, "");
  EXPECT_EQ(queue.RunPending(), 4u);
  EXPECT_EQ(journal, "aTbT");

  journal.clear();
  posted = 0;
  mark('s');
  handOff->StartTimer();
  EXPECT_EQ(postedHere, 2 + 3);
  // The main thread is busy for 200 ms; the timer must keep queuing meanwhile.
  queue.Post([] { std::this_thread::sleep_for(200ms); });
  std::atomic<int> postedDuringBusy{-1};
  queue.Post([&] { postedDuringBusy = posted.load(); });
  queue.RunUntil([&] { return postedDuringBusy >= 0; }, 2s);
  handOff->StopTimer();
  EXPECT_GE(postedDuringBusy, 3 + 40);  // about 69 periods in 200 ms
  const int atStop = posted;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(posted, atStop);
  queue.RunPending();  // the ticks queued before the stop still run, after the mark
  EXPECT_EQ(journal, 's' + std::string(atStop, 'T'));

  handOff->StartTimer();  // a restart primes again
  EXPECT_EQ(postedHere, 2 + 3 + 3);
  EXPECT_TRUE(timer.running());
  handOff.reset();
  EXPECT_FALSE(timer.running());
}

}  // namespace
}  // namespace midiflash
