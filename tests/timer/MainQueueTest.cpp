// The main thread's queue (order across posting threads, run limits, wake-ups) and the hand-off of
// timer ticks into it.
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
using Clock = std::chrono::steady_clock;

TEST(MainQueue, RunsEveryTaskOnceInPostingOrderAcrossThreads) {
  constexpr int kThreads = 4, kEach = 2000;
  MainQueue queue;
  std::vector<std::pair<int, int>> ran;  // (thread, sequence), touched by the runner alone
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&queue, &ran, t] {
      for (int i = 0; i < kEach; ++i) queue.Post([&ran, t, i] { ran.emplace_back(t, i); });
    });
  }
  // Run while they post, so posting and running overlap.
  queue.RunUntil([&] { return ran.size() == size_t{kThreads * kEach}; }, 10s);
  for (auto& p : posters) p.join();
  ASSERT_EQ(ran.size(), size_t{kThreads * kEach});
  std::vector<int> next(kThreads, 0);
  for (const auto& [t, i] : ran) ASSERT_EQ(i, next[t]++) << "thread " << t;
}

TEST(MainQueue, RunsStopAtTheirLimitLeaveTheRestQueuedAndEndOnAWakeFromAnyThread) {
  MainQueue queue;
  std::vector<int> order;
  queue.Post([&] { order.push_back(1), queue.Post([&] { order.push_back(3); }); });
  queue.Post([&] { order.push_back(2); });
  queue.Post(nullptr);
  EXPECT_EQ(queue.RunPending(), 3u);  // the one posted meanwhile waits for the next run
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.RunFor(10ms), 1u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  for (int i = 0; i < 5; ++i) queue.Post([&] { order.push_back(4); });
  EXPECT_TRUE(queue.RunUntil([&] { return order.size() == 5; }, 1s));
  EXPECT_EQ(queue.size(), 3u);
  auto start = Clock::now();
  EXPECT_FALSE(queue.RunUntil([] { return false; }, 50ms));
  EXPECT_EQ(order.size(), 8u);
  EXPECT_GE(Clock::now() - start, 50ms);
  EXPECT_LT(Clock::now() - start, 1s);

  std::atomic<bool> flag{false};
  std::thread other([&] {
    std::this_thread::sleep_for(30ms);
    queue.Post([] {});  // wakes the waiting runner, which goes on waiting
    std::this_thread::sleep_for(30ms);
    flag = true;
    queue.Wake();
  });
  start = Clock::now();
  EXPECT_EQ(queue.RunFor(10s), 1u);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(flag);
  other.join();
  queue.Wake();  // with no run in progress it ends the next one at once, and only that one
  EXPECT_FALSE(queue.RunUntil([] { return false; }, 10s));
  queue.Post([] {});
  EXPECT_EQ(queue.RunFor(20ms), 1u);
  std::function<void()> again = [&] { queue.Post(again); };  // a queue that never runs dry
  queue.Post(again);
  EXPECT_GT(queue.RunFor(30ms), 0u);
}

// Through a real timer: each timer call queues one tick behind what is already queued, the three
// priming calls on the owner's thread included; the timer keeps queuing while the main thread is
// busy; a stop or the hand-off's end ends the calls, and a restart primes again.
TEST(TickHandOff, QueuesOneTickPerTimerCallThreeAtStartNoneAfterStopOrDestruction) {
  const std::thread::id owner = std::this_thread::get_id();
  MainQueue queue;
  std::atomic<int> posted{0}, postedHere{0};
  std::string journal;  // main thread only: 's' for the start, 'T' for a tick
  mmTimer timer;
  auto handOff = std::make_unique<TickHandOff>(
      timer,
      [&](std::function<void()> task) {
        ++posted, postedHere += std::this_thread::get_id() == owner;
        queue.Post(std::move(task));
      },
      [&] { journal += 'T'; });
  queue.Post([&] { journal += 's'; });
  handOff->StartTimer();
  EXPECT_EQ(postedHere, 3);
  queue.Post([] { std::this_thread::sleep_for(200ms); });
  std::atomic<int> postedDuringBusy{-1};
  queue.Post([&] { postedDuringBusy = posted.load(); });
  queue.RunUntil([&] { return postedDuringBusy >= 0; }, 2s);
  handOff->StopTimer();
  EXPECT_GE(postedDuringBusy, 3 + 40);  // about 69 periods in 200 ms
  const int atStop = posted;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(posted, atStop);
  queue.RunPending();
  EXPECT_EQ(journal, 's' + std::string(atStop, 'T'));

  handOff->StartTimer();
  EXPECT_EQ(postedHere, 3 + 3);
  EXPECT_TRUE(timer.running());
  handOff.reset();
  EXPECT_FALSE(timer.running());
}

}  // namespace
}  // namespace midiflash
