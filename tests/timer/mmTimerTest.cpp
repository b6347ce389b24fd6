// The tick timer in real time. Bounds are loose where a loaded machine can delay the timer
// thread, and exact where it cannot: no call ever comes before its deadline.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "mmTimer.h"

namespace midiflash {
namespace {

using namespace std::chrono_literals;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Nanoseconds from the start to the end of period k, rounded down as the timer rounds.
int64_t PeriodsNs(int64_t k) {
  return k * kTickFrames * 1'000'000'000 / kTickFrameRate;
}

// Counts handler calls on the owner's thread and on the timer's, with the times of the latter.
struct Calls {
  std::thread::id owner = std::this_thread::get_id();
  std::atomic<int> onOwner{0}, onTimer{0};
  std::mutex lock;
  std::vector<int64_t> timerTimes;
  std::function<void()> Handler() {
    return [this] {
      if (std::this_thread::get_id() == owner) return void(++onOwner);
      std::lock_guard<std::mutex> l(lock);
      timerTimes.push_back(NowNs());
      ++onTimer;
    };
  }
  int total() const { return onOwner + onTimer; }
  bool WaitForTimer(int n) {
    for (const auto end = std::chrono::steady_clock::now() + 2s; onTimer < n;) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
};

std::vector<std::string> CapturedDuring(const std::function<void()>& body) {
  std::vector<std::string> lines;
  std::mutex m;
  ScopedLogCapture capture([&](const std::string& line) {
    std::lock_guard<std::mutex> l(m);
    lines.push_back(line);
  });
  body();
  return lines;
}

TEST(mmTimer, PacesThreeAtOnceThenOnePerPeriodNeverEarly) {
  mmTimer timer;
  Calls calls;
  const int64_t before = NowNs();
  timer.timeSetEvent(calls.Handler());
  const int64_t after = NowNs();
  EXPECT_EQ(calls.onOwner, 3);
  EXPECT_TRUE(timer.running());
  std::this_thread::sleep_for(1s);
  const int64_t killAt = NowNs();
  timer.timeKillEvent();
  const int64_t killed = NowNs();
  EXPECT_FALSE(timer.running());

  // Every deadline up to the stop gets its call, and none beyond the last one before it.
  const int n = calls.onTimer;
  EXPECT_LE(n, (killed - before) / PeriodsNs(1));
  EXPECT_GE(n, 0.9 * static_cast<double>(killAt - after) / PeriodsNs(1));
  std::vector<int64_t> late;
  for (int k = 1; k <= n; ++k) {
    ASSERT_GE(calls.timerTimes[k - 1], before + PeriodsNs(k)) << "call " << k << " came early";
    late.push_back(calls.timerTimes[k - 1] - (after + PeriodsNs(k)));
  }
  // A wrong period shows as lateness growing along the run (3 ms instead of 2.9 ms: 16 ms at the
  // middle); a right one keeps the typical call within a few milliseconds of its deadline.
  std::nth_element(late.begin(), late.begin() + n / 2, late.end());
  EXPECT_LT(late[n / 2], 5'000'000);
}

TEST(mmTimer, KillIsSilentSetSwapsTheHandlerRestartPrimesDestructionStops) {
  Calls first, second;
  auto timer = std::make_unique<mmTimer>();
  const auto lines = CapturedDuring([&] {
    timer->timeKillEvent();  // idle: nothing happens, nothing is logged
    timer->timeSetEvent(first.Handler());
    ASSERT_TRUE(first.WaitForTimer(2));
    timer->timeSetEvent(second.Handler());  // running: only the handler changes
    const int firstAtSwap = first.total();
    EXPECT_EQ(second.onOwner, 0);
    ASSERT_TRUE(second.WaitForTimer(3));
    EXPECT_EQ(first.total(), firstAtSwap);
    timer->timeKillEvent();
    const int stopped = second.total();
    timer->timeKillEvent();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(second.total(), stopped);
  });
  EXPECT_TRUE(lines.empty()) << lines.front();
  timer->timeSetEvent(second.Handler());
  EXPECT_EQ(second.onOwner, 3);
  ASSERT_TRUE(second.WaitForTimer(second.onTimer + 2));
  timer.reset();
  const int atDestruction = second.total();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(second.total(), atDestruction);
}

TEST(mmTimer, ReplacingTheHandlerWhileItIsCalledIsSafe) {
  // Each handler owns state that dies with it; a call to a released handler finds it dead (and
  // the sanitizers see the freed memory).
  struct Owned {
    std::atomic<bool> alive{true};
    ~Owned() { alive = false; }
  };
  std::atomic<int> deadCalls{0}, calls{0};
  mmTimer timer;
  for (const auto end = std::chrono::steady_clock::now() + 300ms;
       std::chrono::steady_clock::now() < end;) {
    timer.timeSetEvent([owned = std::make_shared<Owned>(), &deadCalls, &calls] {
      deadCalls += !owned->alive;
      std::this_thread::yield();
      deadCalls += !owned->alive;
      ++calls;
    });
  }
  timer.timeKillEvent();
  EXPECT_EQ(deadCalls, 0);
  EXPECT_GT(calls, 3 + 30);
}

TEST(mmTimer, AThreadThatCannotStartIsLoggedAndLeavesTheTimerIdle) {
  mmTimer timer([](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; });
  Calls calls;
  EXPECT_EQ(CapturedDuring([&] { timer.timeSetEvent(calls.Handler()); }),
            std::vector<std::string>{"pthread_create err = " + std::to_string(EAGAIN)});
  EXPECT_FALSE(timer.running());
  EXPECT_EQ(calls.onOwner, 3);
  EXPECT_TRUE(CapturedDuring([&] { timer.timeKillEvent(); }).empty());
}

TEST(mmTimer, CatchesUpALateCallButRestartsAfterALongStall) {
  // The fourth call stalls for `stall`: below a second every missed deadline still gets its
  // call; beyond it the deadlines start again from the end of the stall, with one log line.
  auto run = [](std::chrono::milliseconds stall, std::vector<std::string>& lines) {
    std::atomic<int> calls{0};
    mmTimer timer;
    const int64_t start = NowNs();
    lines = CapturedDuring([&] {
      timer.timeSetEvent([&, stall] {
        if (++calls == 4) std::this_thread::sleep_for(stall);
      });
      std::this_thread::sleep_for(stall + 200ms);
      timer.timeKillEvent();
    });
    return std::pair<int, double>(calls - 3, double(NowNs() - start) / PeriodsNs(1));
  };
  std::vector<std::string> lines;
  const auto [shortCalls, shortPeriods] = run(300ms, lines);
  EXPECT_GE(shortCalls, shortPeriods * 0.8);  // room for a loaded machine
  EXPECT_TRUE(lines.empty());
  // The 1.2 s stall costs about 413 periods; the 200 ms after it bring about 69 calls.
  const auto [longCalls, longPeriods] = run(1200ms, lines);
  EXPECT_LT(longCalls, longPeriods - 300);
  EXPECT_GE(longCalls, 20);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("behind"), std::string::npos);
}

}  // namespace
}  // namespace midiflash
