// The hand-off of timer ticks to the main thread, through a real timer and a MainQueue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "MainQueue.h"
#include "TickHandOff.h"

namespace midiflash {
namespace {

using namespace std::chrono_literals;

// A hand-off onto a MainQueue whose ticks append "T" to a journal the tests read on the main
// thread; `posted` counts the tasks queued from any thread, `postedHere` those from this one.
struct Fixture {
  const std::thread::id owner = std::this_thread::get_id();
  MainQueue queue;
  std::atomic<int> posted{0};
  std::atomic<int> postedHere{0};
  std::vector<std::string> journal;
  mmTimer timer;
  TickHandOff handOff{timer,
                      [this](std::function<void()> task) {
                        ++posted;
                        if (std::this_thread::get_id() == owner) ++postedHere;
                        queue.Post(std::move(task));
                      },
                      [this] { journal.push_back("T"); }};

  void Mark(const std::string& what) {
    queue.Post([this, what] { journal.push_back(what); });
  }
};

TEST(TickHandOff, EachTimerProcQueuesExactlyOneTickInOrder) {
  Fixture f;
  f.Mark("a");
  f.handOff.TimerProc();
  f.Mark("b");
  f.handOff.TimerProc();
  f.handOff.TimerProc();
  EXPECT_TRUE(f.journal.empty());
  EXPECT_EQ(f.queue.RunPending(), 5u);
  EXPECT_EQ(f.journal, (std::vector<std::string>{"a", "T", "b", "T", "T"}));
}

TEST(TickHandOff, StartQueuesThreeThenTicksUntilStopAndQueuedTicksStillRun) {
  Fixture f;
  f.handOff.StartTimer();
  EXPECT_EQ(f.postedHere, 3);
  EXPECT_TRUE(f.journal.empty());

  f.queue.RunFor(100ms);
  f.handOff.StopTimer();
  const int atStop = f.posted;
  EXPECT_GE(atStop, 3 + 20);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(f.posted, atStop);
  f.queue.RunPending();
  EXPECT_EQ(f.journal.size(), static_cast<size_t>(atStop));
}

TEST(TickHandOff, KeepsQueuingWhileTheMainThreadIsBusy) {
  Fixture f;
  f.Mark("busy");
  f.handOff.StartTimer();
  // The first task keeps the main thread for 200 ms; the timer must not wait for it.
  f.queue.Post([] { std::this_thread::sleep_for(200ms); });
  std::atomic<int> postedDuringBusy{-1};
  f.queue.Post([&] { postedDuringBusy = f.posted.load(); });
  f.queue.RunUntil([&] { return postedDuringBusy >= 0; }, 2s);
  f.handOff.StopTimer();
  EXPECT_GE(postedDuringBusy, 3 + 40);  // about 69 periods in 200 ms
  f.queue.RunPending();
  EXPECT_EQ(f.journal.front(), "busy");
  EXPECT_EQ(f.journal.size(), static_cast<size_t>(1 + f.posted));
}

TEST(TickHandOff, RestartPrimesAgainAndDestructionStopsTheTimer) {
  mmTimer timer;
  {
    Fixture f;
    f.handOff.StartTimer();
    ASSERT_TRUE(f.queue.RunUntil([&] { return f.posted > 5; }, 2s));
    f.handOff.StartTimer();
    EXPECT_EQ(f.postedHere, 6);
    TickHandOff other(
        timer, [](std::function<void()>) {}, [] {});
    other.StartTimer();
    EXPECT_TRUE(timer.running());
  }
  EXPECT_FALSE(timer.running());
}

}  // namespace
}  // namespace midiflash
