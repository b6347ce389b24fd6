// Runs inside the QEMU guest of bench_alsa_cable: plays FILE to the destination named PORT with the
// command line's own parts (workflow, tick timer, main queue, the MIDI output on the ALSA
// sequencer) and prints how long the main thread was held during the run: the longest playback
// tick, the longest call into the MIDI output, and the longest gap between two ticks. The guest is
// emulated on a shared machine and sometimes does not run at all: a thread of its own that only
// sleeps 1 ms at a time shows the longest such pause, to tell the program's stalls from the
// machine's. It waits, after the run, until the backend reports every byte gone.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <type_traits>

#include "CliView.h"
#include "MainQueue.h"
#include "MidiService.h"
#include "PeriodicTimer.h"
#include "PosixFileSource.h"
#include "SteadyClock.h"
#include "TickHandOff.h"
#include "UpdateWorkflow.h"

using namespace midiflash;
using Time = std::chrono::steady_clock;

namespace {

// The MIDI output as the workflow sees it, timing every call the workflow's thread makes.
class TimedOutput final : public MidiOutput {
 public:
  explicit TimedOutput(MidiOutput& out) : out_(out) {}
  const char* ServiceName() const override { return out_.ServiceName(); }
  std::vector<MidiDestination> ListDestinations() override {
    return Timed([&] { return out_.ListDestinations(); });
  }
  int32_t OpenDestination(const std::string& id) override {
    return Timed([&] { return out_.OpenDestination(id); });
  }
  void SetDestinationsChanged(std::function<void()> f) override {
    out_.SetDestinationsChanged(std::move(f));
  }
  uint64_t LargestMessage(const std::string& id) override {
    return Timed([&] { return out_.LargestMessage(id); });
  }
  int32_t Send(const uint8_t* d, size_t n) override {
    return Timed([&] { return out_.Send(d, n); });
  }
  uint64_t PendingBytes() override {
    return Timed([&] { return out_.PendingBytes(); });
  }
  int32_t DeliveryError() override {
    return Timed([&] { return out_.DeliveryError(); });
  }
  void DropPending() override { out_.DropPending(); }
  uint64_t DeliveryWarnings() override { return out_.DeliveryWarnings(); }
  Time::duration longest() const { return longest_; }
  void Reset() { longest_ = {}; }

 private:
  template <typename F>
  std::invoke_result_t<F> Timed(F&& f) {
    const auto start = Time::now();
    auto result = f();
    longest_ = std::max(longest_, Time::now() - start);
    return result;
  }
  MidiOutput& out_;
  Time::duration longest_{};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: alsa_cable_probe FILE PORT\n");
    return 2;
  }
  MainQueue queue;
  const auto output = OpenMidiOutput();
  TimedOutput midi(*output);
  PeriodicTimer timer;
  std::ostringstream sink;
  CliView view(sink, false);
  PosixFileSource files;
  SteadyClock clock;
  UpdateWorkflow* running = nullptr;
  Time::duration longest_tick{}, longest_gap{};
  Time::time_point last_tick{};
  TickHandOff handoff(
      timer, [&queue](std::function<void()> task) { queue.Post(std::move(task)); },
      [&] {
        const auto now = Time::now();
        if (last_tick != Time::time_point{}) longest_gap = std::max(longest_gap, now - last_tick);
        last_tick = now;
        running->Tick();
        longest_tick = std::max(longest_tick, Time::now() - now);
      });
  UpdateWorkflow workflow(midi, view, files, clock, handoff);
  running = &workflow;
  workflow.Load("", UpdateWorkflow::Fallback::kNone);
  for (const MidiDestination& d : workflow.destinations()) {
    if (d.name.find(argv[2]) != std::string::npos) workflow.ChooseDestination(d.id);
  }
  std::atomic<bool> done{false};
  Time::duration longest_pause{};
  std::thread heartbeat([&] {
    for (auto last = Time::now(); !done.load();
         std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
      const auto now = Time::now();
      longest_pause = std::max(longest_pause, now - last);
      last = now;
    }
  });
  workflow.ChooseFile(argv[1]);
  midi.Reset();  // the run starts here
  workflow.Start();
  queue.RunUntil([&] { return workflow.phase() == Phase::kEnded; }, std::chrono::minutes(5));
  const auto deadline = Time::now() + std::chrono::minutes(1);
  while (midi.PendingBytes() > 0 && midi.DeliveryError() == 0 && Time::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  done.store(true);
  heartbeat.join();
  const auto ms = [](Time::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  std::printf("alsa_main_thread_longest_tick_ms: %.2f\n", ms(longest_tick));
  std::printf("alsa_main_thread_longest_midi_call_ms: %.2f\n", ms(midi.longest()));
  std::printf("alsa_main_thread_longest_tick_gap_ms: %.2f\n", ms(longest_gap));
  std::printf("alsa_guest_longest_pause_ms: %.2f\n", ms(longest_pause));
  std::printf("alsa_delivery_error: %d\n", midi.DeliveryError());
  return 0;
}
