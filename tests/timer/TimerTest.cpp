// The tick timer in real time, the main queue and the tick hand-off. Bounds are loose where a
// loaded machine delays the timer thread, exact where it cannot: no call comes before its deadline.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "MainQueue.h"
#include "PeriodicTimer.h"
#include "TestHelpers.h"
#include "TickHandOff.h"

namespace midiflash {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

int64_t NowNs() {
  return Clock::now().time_since_epoch() / 1ns;
}

// Nanoseconds from the start to the end of period k, rounded down as the timer rounds.
int64_t PeriodsNs(int64_t k) {
  return k * kTickFrames * 1'000'000'000 / kTickFrameRate;
}

// Handler calls: how many came on the owner's thread, and when those on the timer's thread came.
struct Calls {
  const std::thread::id owner = std::this_thread::get_id();
  std::atomic<int> onOwner{0}, onTimer{0};
  std::vector<int64_t> timerTimes;  // read only once the handler is replaced
  std::function<void()> Handler() {
    return [this] {
      if (std::this_thread::get_id() == owner) return void(++onOwner);
      timerTimes.push_back(NowNs()), ++onTimer;
    };
  }
};

// Three calls at once, then one a period; a new handler gets no call at once, the old none after.
TEST(PeriodicTimer, PacesNeverEarlySwapsHandlersAndStopsWhenDestroyed) {
  Calls calls, second;
  testing::LogLines log;
  auto timer = std::make_unique<PeriodicTimer>();
  const int64_t before = NowNs();
  timer->Start(calls.Handler());
  const int64_t after = NowNs();
  EXPECT_EQ(calls.onOwner, 3);
  EXPECT_TRUE(timer->running());
  std::this_thread::sleep_for(1s);
  const int64_t swapAt = NowNs();
  timer->Start(second.Handler());
  const int64_t swapped = NowNs();
  const int n = calls.onTimer;
  EXPECT_EQ(second.onOwner, 0);
  for (int ms = 0; second.onTimer < 3 && ms < 2000; ++ms) std::this_thread::sleep_for(1ms);
  ASSERT_GE(second.onTimer, 3);
  EXPECT_EQ(calls.onTimer, n);
  // Every deadline up to the swap gets its call, and none beyond the last one before it.
  EXPECT_LE(n, (swapped - before) / PeriodsNs(1));
  EXPECT_GE(n, 0.9 * static_cast<double>(swapAt - after) / PeriodsNs(1));
  std::vector<int64_t> late;
  for (int k = 1; k <= n; ++k) {
    ASSERT_GE(calls.timerTimes[k - 1], before + PeriodsNs(k)) << "call " << k << " came early";
    late.push_back(calls.timerTimes[k - 1] - (after + PeriodsNs(k)));
  }
  // A wrong period makes lateness grow along the run (3 ms for 2.9 ms: 16 ms at the middle).
  std::nth_element(late.begin(), late.begin() + n / 2, late.end());
  EXPECT_LT(late[n / 2], 5'000'000);
  timer.reset();
  const int atDestruction = second.onTimer;
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(second.onTimer, atDestruction);
  EXPECT_EQ(log.lines(), Lines{});
}

TEST(PeriodicTimer, ReplacingTheHandlerWhileItIsCalledIsSafe) {
  // A call to a released handler finds its state dead (and the sanitizers see freed memory).
  struct Owned {
    std::atomic<bool> alive{true};
    ~Owned() { alive = false; }
  };
  std::atomic<int> deadCalls{0}, calls{0};
  PeriodicTimer timer;
  for (const auto end = Clock::now() + 300ms; Clock::now() < end;) {
    timer.Start([owned = std::make_shared<Owned>(), &deadCalls, &calls] {
      deadCalls += !owned->alive;
      std::this_thread::yield();
      deadCalls += !owned->alive;
      ++calls;
    });
  }
  timer.Stop();
  EXPECT_EQ(deadCalls, 0);
  EXPECT_GT(calls, 3 + 30);
}

TEST(PeriodicTimer, AThreadThatCannotStartIsLoggedAndLeavesTheTimerIdle) {
  PeriodicTimer timer(
      [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; });
  Calls calls;
  testing::LogLines log;
  timer.Start(calls.Handler());
  EXPECT_FALSE(timer.running());
  EXPECT_EQ(calls.onOwner, 3);
  timer.Stop();  // logs nothing: there is no thread to join
  EXPECT_EQ(log.lines(), Lines{"pthread_create err = " + std::to_string(EAGAIN)});
}

// The fourth call stalls: below a second every missed deadline still gets its call; beyond it
// they restart from its end, logged once (1.2 s: about 413 periods missed; 200 ms: 69 calls).
TEST(PeriodicTimer, CatchesUpALateCallButRestartsAfterALongStall) {
  for (const auto stall : {300ms, 1200ms}) {
    SCOPED_TRACE(stall.count());
    std::atomic<int> calls{0};
    testing::LogLines log;
    const int64_t start = NowNs();
    {
      PeriodicTimer timer;
      timer.Start([&] {
        if (++calls == 4) std::this_thread::sleep_for(stall);
      });
      std::this_thread::sleep_for(stall + 200ms);
    }
    const double periods = double(NowNs() - start) / PeriodsNs(1), n = calls - 3;
    EXPECT_TRUE(stall < 1s ? n >= periods * 0.8 : n < periods - 300 && n >= 20) << n << " calls";
    EXPECT_EQ(log.lines().size(), stall < 1s ? 0u : 1u);
    for (const std::string& line : log.lines()) EXPECT_TRUE(line.starts_with("PeriodicTimer: "));
  }
}

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

// Each timer call queues one tick in order, three at the start, also while the main thread is
// busy; a stop or the hand-off's end ends them, a restart queues three again.
TEST(TickHandOff, QueuesOneTickPerTimerCallThreeAtStartNoneAfterStopOrDestruction) {
  const std::thread::id owner = std::this_thread::get_id();
  MainQueue queue;
  std::atomic<int> posted{0}, postedHere{0};
  std::string journal;  // main thread only: 's' for the start, 'T' for a tick
  PeriodicTimer timer;
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
