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

// Ticks append "T" to a journal read on the main thread; `posted` counts the tasks queued from
// any thread, `postedHere` those queued from this one.
struct Fixture {
  const std::thread::id owner = std::this_thread::get_id();
  MainQueue queue;
  std::atomic<int> posted{0}, postedHere{0};
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

TEST(TickHandOff, StartQueuesThreeThenTicksWithoutWaitingForTheMainThreadUntilStop) {
  Fixture f;
  f.Mark("busy");
  f.handOff.StartTimer();
  EXPECT_EQ(f.postedHere, 3);
  // The main thread is busy for 200 ms; the timer must keep queuing meanwhile.
  f.queue.Post([] { std::this_thread::sleep_for(200ms); });
  std::atomic<int> postedDuringBusy{-1};
  f.queue.Post([&] { postedDuringBusy = f.posted.load(); });
  f.queue.RunUntil([&] { return postedDuringBusy >= 0; }, 2s);
  f.handOff.StopTimer();
  EXPECT_GE(postedDuringBusy, 3 + 40);  // about 69 periods in 200 ms

  const int atStop = f.posted;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(f.posted, atStop);
  f.queue.RunPending();  // the ticks queued before the stop still run, after the mark
  EXPECT_EQ(f.journal.front(), "busy");
  EXPECT_EQ(f.journal.size(), static_cast<size_t>(1 + atStop));

  f.handOff.StartTimer();  // a restart primes again
  EXPECT_EQ(f.postedHere, 6);
}

TEST(TickHandOff, DestructionStopsTheTimer) {
  mmTimer timer;
  {
    TickHandOff handOff(
        timer, [](std::function<void()>) {}, [] {});
    handOff.StartTimer();
    EXPECT_TRUE(timer.running());
  }
  EXPECT_FALSE(timer.running());
}

}  // namespace
}  // namespace midiflash
