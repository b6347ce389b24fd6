// Pacing of the tick timer: runs it for BENCH_TIMER_SECONDS (20 by default) idle, then as long
// again with a thread spinning on another core, and prints for each run the error of the period
// in ppm and the lateness of the calls behind their deadlines (p50, p99, max, in µs).
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "PeriodicTimer.h"

namespace {

using midiflash::PeriodicTimer;

constexpr double kPeriodNs = 1e9 * midiflash::kTickPeriodSeconds;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Result {
  double periodErrorPpm = 0;
  double lateP50Us = 0;
  double lateP99Us = 0;
  double lateMaxUs = 0;
};

Result Measure(double seconds, bool realtime) {
  std::vector<int64_t> times(static_cast<size_t>(seconds * 1e9 / kPeriodNs) + 64);
  std::atomic<size_t> count{0};
  int64_t anchor = 0;
  int priming = 0;
  PeriodicTimer timer;
  timer.SetRealtime(realtime);
  // The timer takes its start time right after the third call at once, so the time of that call
  // stands for it within a fraction of a microsecond.
  timer.Start([&] {
    if (priming < 3) {
      if (++priming == 3) anchor = NowNs();
      return;
    }
    const size_t i = count.load(std::memory_order_relaxed);
    if (i < times.size()) times[i] = NowNs();
    count.store(i + 1, std::memory_order_release);
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  timer.Stop();
  const size_t n = std::min(count.load(std::memory_order_acquire), times.size());

  Result r;
  if (n < 20) return r;
  // Lateness of call k behind the end of period k.
  std::vector<double> late(n);
  for (size_t k = 0; k < n; ++k) {
    late[k] = static_cast<double>(times[k] - anchor) - static_cast<double>(k + 1) * kPeriodNs;
  }
  // The period actually delivered, from how far the typical lateness moves between the first
  // and the last tenth of the run; medians keep a burst of late calls (a busy machine) from
  // passing for a wrong period.
  const size_t tenth = n / 10;
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  const double driftNs =
      median({late.end() - tenth, late.end()}) - median({late.begin(), late.begin() + tenth});
  r.periodErrorPpm = driftNs / (static_cast<double>(n - tenth) * kPeriodNs) * 1e6;
  std::sort(late.begin(), late.end());
  r.lateP50Us = late[n / 2] / 1e3;
  r.lateP99Us = late[std::min(n - 1, static_cast<size_t>(std::ceil(n * 0.99)) - 1)] / 1e3;
  r.lateMaxUs = late[n - 1] / 1e3;
  return r;
}

void Print(const Result& r, const std::string& suffix) {
  std::printf("timer_period_error_ppm%s: %.2f\n", suffix.c_str(), r.periodErrorPpm);
  std::printf("timer_late_p50_us%s: %.1f\n", suffix.c_str(), r.lateP50Us);
  std::printf("timer_late_p99_us%s: %.1f\n", suffix.c_str(), r.lateP99Us);
  std::printf("timer_late_max_us%s: %.1f\n", suffix.c_str(), r.lateMaxUs);
  std::fflush(stdout);
}

// Keeps one core busy: pinned to the last CPU this process may use, away from where the timer
// thread is likely to run.
class Spinner {
 public:
  Spinner() : thread_([this] { Spin(); }) {}
  ~Spinner() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Spin() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        break;
      }
    }
    volatile uint64_t sink = 0;
    while (!stop_.load(std::memory_order_relaxed)) sink = sink + 1;
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int main() {
  double seconds = 20;
  if (const char* env = std::getenv("BENCH_TIMER_SECONDS")) {
    const double asked = std::atof(env);
    if (asked > 0) seconds = asked;
  }
  // As the program runs it (real-time priority where allowed), then at normal priority.
  for (const bool realtime : {true, false}) {
    const std::string suffix = realtime ? "" : "_normal_priority";
    Print(Measure(seconds, realtime), suffix);
    Spinner spinner;
    Print(Measure(seconds, realtime), "_busy" + suffix);
  }
  return 0;
}
