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

// Through the hand-off each timer call queues one tick, in order: three at once on the starting
// thread, then one a period on the timer's, never early, also while the main thread is busy.
// Handlers replaced while they are called get no call at once and none once released; a stop or
// the hand-off's end ends the calls, and a restart queues three again. Nothing is logged but a
// thread that cannot start.
TEST(TickHandOff, PacesNeverEarlyQueuesOneTickPerCallSwapsHandlersSafelyStopsAndLogsAFailedStart) {
  const std::thread::id owner = std::this_thread::get_id();
  MainQueue queue;
  std::atomic<int> posted{0}, postedHere{0};
  std::vector<int64_t> times;  // of the posts from the timer's thread, read once it is swapped out
  std::string journal;         // main thread only: 's' for the start, 'T' for a tick
  testing::LogLines log;
  PeriodicTimer timer;
  auto handOff = std::make_unique<TickHandOff>(
      timer,
      [&](std::function<void()> task) {
        if (std::this_thread::get_id() == owner) ++postedHere;
        if (std::this_thread::get_id() != owner) times.push_back(NowNs());
        ++posted, queue.Post(std::move(task));
      },
      [&] { journal += 'T'; });
  queue.Post([&] { journal += 's'; });
  const int64_t before = NowNs();
  handOff->StartTimer();
  const int64_t after = NowNs();
  EXPECT_EQ(postedHere, 3);
  ASSERT_TRUE(timer.running());     // else nothing below could stop its thread
  std::this_thread::sleep_for(1s);  // the main thread is busy; the ticks wait in the queue
  const int64_t swapAt = NowNs();
  // A call to a released handler finds its state dead (and the sanitizers see freed memory).
  struct Owned {
    std::atomic<bool> alive{true};
    ~Owned() { alive = false; }
  };
  std::atomic<int> calls{0}, wrongCalls{0};
  for (const auto end = Clock::now() + 300ms; Clock::now() < end;) {
    timer.Start([&, owned = std::make_shared<Owned>()] {
      wrongCalls += !owned->alive || std::this_thread::get_id() == owner;
      std::this_thread::yield();
      wrongCalls += !owned->alive;
      ++calls;
    });
  }
  EXPECT_EQ(wrongCalls, 0);
  EXPECT_GT(calls, 30);
  // Every deadline up to the first swap gets its call, none before its deadline.
  const int n = int(times.size());
  EXPECT_GE(n, 0.9 * static_cast<double>(swapAt - after) / PeriodsNs(1));
  std::vector<int64_t> late;
  for (int k = 1; k <= n; ++k) {
    ASSERT_GE(times[k - 1], before + PeriodsNs(k)) << "call " << k << " came early";
    late.push_back(times[k - 1] - (after + PeriodsNs(k)));
  }
  // A wrong period makes lateness grow along the run (3 ms for 2.9 ms: 16 ms at the middle).
  std::nth_element(late.begin(), late.begin() + n / 2, late.end());
  EXPECT_LT(late[n / 2], 5'000'000);
  handOff->StopTimer();
  const int atStop = calls;
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(calls, atStop);
  handOff->StartTimer();
  EXPECT_EQ(postedHere, 3 + 3);
  handOff.reset();
  EXPECT_FALSE(timer.running());
  queue.RunPending();
  EXPECT_EQ(journal, 's' + std::string(posted, 'T'));
  // A thread that cannot start is logged and leaves the timer idle, after the three calls at once.
  PeriodicTimer failing(
      [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; });
  failing.Start([&] { ++postedHere; });
  EXPECT_FALSE(failing.running());
  EXPECT_EQ(postedHere, 3 + 3 + 3);
  failing.Stop();  // logs nothing: there is no thread to join
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

// Tasks run once each in posting order, also as another thread posts them; a run stops at its limit
// and leaves the rest queued; a wake from any thread ends it.
TEST(MainQueue, RunsTasksInPostingOrderUpToTheirLimitAndEndsOnAWakeFromAnyThread) {
  MainQueue queue;
  std::vector<int> order;
  queue.Post([&] { order.push_back(1), queue.Post([&] { order.push_back(3); }); });
  queue.Post([&] { order.push_back(2); });
  queue.Post(nullptr);
  EXPECT_EQ(queue.RunPending(), 3u);  // the one posted meanwhile waits for the next run
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

  std::vector<int> ran;  // touched by the runner alone
  std::atomic<bool> woken{false};
  std::thread other([&] {
    std::this_thread::sleep_for(30ms);
    for (int i = 0; i < 100; ++i) queue.Post([&ran, i] { ran.push_back(i); });  // wake the runner
    std::this_thread::sleep_for(30ms);
    woken = true;
    queue.Wake();
  });
  start = Clock::now();
  EXPECT_EQ(queue.RunFor(10s), 100u);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(woken);
  other.join();
  for (size_t i = 0; i < ran.size(); ++i) ASSERT_EQ(ran[i], int(i));
  queue.Wake();  // with no run in progress it ends the next one at once, and only that one
  EXPECT_FALSE(queue.RunUntil([] { return false; }, 10s));
  queue.Post([] {});
  EXPECT_EQ(queue.RunFor(20ms), 1u);
  std::function<void()> again = [&] { queue.Post(again); };  // a queue that never runs dry
  queue.Post(again);
  EXPECT_GT(queue.RunFor(30ms), 0u);
}

}  // namespace
}  // namespace midiflash
