// Delivery warnings against what really arrived, and how fast a destination that dies ends a run,
// on each JACK server kind: jackd without and with --sync, and PipeWire (this program runs itself
// again through pw-jack for it). Figures only; nothing is asserted.
//
//   bench_delivery [--runs N] [--busy] [--fault] [--long-stall] [--gap-us US]
//                  [--kinds async,sync,pipewire]
//
// A run opens the destination (which resets the count), sends 150 notes and 15 System Exclusive
// messages of 200 bytes one 128-frame period apart (or --gap-us apart), waits until the output has
// nothing pending and no loss report due, and compares, byte for byte, what a recording client got.
// --busy keeps both cores busy with two spinning processes; --fault stalls the recorder for 3
// cycles of 60 ms in each run, which makes jackd without --sync, and PipeWire, really lose
// messages; --long-stall stalls it once for 6 s, longer than jackd --sync waits for a client (ten
// client timeouts, 5 s by default). Then a destination in a process of its own is killed during a
// run: the time until the output reports the failure.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "JackServer.h"
#include "MidiService.h"
#include "RecordingClient.h"

using midiflash::MidiOutput;
constexpr uint8_t kNote[] = {0x90, 1, 1};
using midiflash::testing::Eventually;
using midiflash::testing::JackKind;
using midiflash::testing::JackKindName;
using midiflash::testing::JackServer;
using midiflash::testing::RecordingClient;
using namespace std::chrono;
using Bytes = std::vector<uint8_t>;

namespace {

struct Options {
  int runs = 30;
  bool busy = false, fault = false, long_stall = false;
  int gap_us = 2902;  // one 128-frame period: a message in every cycle
  std::string kinds = "async,sync,pipewire";
};

std::vector<Bytes> RunMessages(int run) {
  std::vector<Bytes> m;
  for (int i = 0; i < 165; ++i) {
    if (i % 11 == 10) {
      Bytes s(200, uint8_t(run & 0x7F));
      s.front() = 0xF0, s.back() = 0xF7, s[1] = uint8_t(i & 0x7F);
      m.push_back(s);
    } else {
      m.push_back({0x90, uint8_t(i & 0x7F), uint8_t(run & 0x7F)});
    }
  }
  return m;
}

// Bytes of `sent` that did not arrive in order in `got` (a message counts whole or not at all).
size_t LostBytes(const std::vector<Bytes>& sent, const std::vector<Bytes>& got) {
  size_t lost = 0, j = 0;
  for (const Bytes& m : sent) {
    size_t k = j;
    while (k < got.size() && got[k] != m) ++k;
    if (k < got.size()) {
      j = k + 1;
    } else {
      lost += m.size();
    }
  }
  return lost + (got.size() > sent.size() ? 1 : 0);  // a duplicate is as bad as a loss
}

std::vector<pid_t> StartBusy() {
  std::vector<pid_t> pids;
  for (int i = 0; i < 2; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) asm volatile("" ::: "memory");
    }
    pids.push_back(pid);
  }
  return pids;
}

void Measure(JackKind kind, const Options& o) {
  std::string error;
  auto server = JackServer::Start(&error, kind);
  if (!server) {
    std::printf("%s: no server: %s\n", JackKindName(kind), error.c_str());
    return;
  }
  setenv("MIDIFLASH_MIDI_API", "jack", 1);
  std::vector<pid_t> busy = o.busy ? StartBusy() : std::vector<pid_t>{};
  int warned_clean = 0, clean = 0, lossy = 0, lossy_warned = 0;
  uint64_t warnings = 0, lost_total = 0;
  {
    RecordingClient rec("bench-recorder");
    const auto output = midiflash::OpenMidiOutput();
    MidiOutput& midi = *output;
    for (int run = 0; run < o.runs; ++run) {
      if (midi.OpenDestination(rec.FullPortName()) != 0) continue;
      const size_t before = rec.Count();
      const std::vector<Bytes> sent = RunMessages(run);
      auto at = steady_clock::now();
      for (size_t i = 0; i < sent.size(); ++i) {
        if (o.fault && i == 20) rec.Stall(3, milliseconds(60));
        if (o.long_stall && i == 20) rec.Stall(1, milliseconds(6000));
        midi.Send(sent[i].data(), sent[i].size());
        std::this_thread::sleep_until(at += microseconds(o.gap_us));
      }
      // As a run ends: nothing pending, and no report of a loss still on its way.
      Eventually([&] { return midi.PendingBytes() == 0 && !midi.LossReportDue(); },
                 milliseconds(15000));
      std::this_thread::sleep_for(milliseconds(100));
      std::vector<Bytes> got;
      const auto all = rec.Messages();
      for (size_t i = before; i < all.size(); ++i) got.push_back(all[i].bytes);
      const size_t lost = LostBytes(sent, got);
      const uint64_t w = midi.DeliveryWarnings();
      warnings += w;
      lost_total += lost;
      if (lost > 0) {
        ++lossy;
        lossy_warned += w > 0;
      } else {
        ++clean;
        warned_clean += w > 0;
      }
    }
  }
  for (pid_t pid : busy) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  std::printf(
      "delivery_%s%s%s%s_gap%dus: runs %d, runs without loss %d (warned %d), runs with loss %d "
      "(warned "
      "%d), "
      "warnings %llu, bytes lost %llu\n",
      JackKindName(kind), o.busy ? "_busy" : "", o.fault ? "_fault" : "",
      o.long_stall ? "_long_stall" : "", o.gap_us, o.runs, clean, warned_clean, lossy, lossy_warned,
      static_cast<unsigned long long>(warnings), static_cast<unsigned long long>(lost_total));

  // A destination in a process of its own, killed while notes go to it.
  for (int round = 0; round < 3; ++round) {
    int ready[2];
    if (pipe(ready) != 0) return;
    const pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      RecordingClient victim("victim");
      (void)!write(ready[1], "x", 1);
      pause();
      _exit(0);
    }
    char c;
    (void)!read(ready[0], &c, 1);
    close(ready[0]), close(ready[1]);
    const auto output = midiflash::OpenMidiOutput();
    MidiOutput& midi = *output;
    if (midi.OpenDestination("victim:input") != 0) {
      kill(child, SIGKILL), waitpid(child, nullptr, 0);
      continue;
    }
    for (int i = 0; i < 50; ++i) midi.Send(kNote, sizeof kNote), usleep(2900);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const auto t0 = steady_clock::now();
    while (midi.DeliveryError() == 0 && steady_clock::now() - t0 < seconds(10)) {
      midi.Send(kNote, sizeof kNote);
      usleep(2900);
    }
    std::printf("stop_%s_ms: %.0f (status %d)\n", JackKindName(kind),
                duration<double, std::milli>(steady_clock::now() - t0).count(),
                midi.DeliveryError());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) o.runs = std::atoi(argv[++i]);
    if (a == "--busy") o.busy = true;
    if (a == "--fault") o.fault = true;
    if (a == "--long-stall") o.long_stall = true;
    if (a == "--gap-us" && i + 1 < argc) o.gap_us = std::atoi(argv[++i]);
    if (a == "--kinds" && i + 1 < argc) o.kinds = argv[++i];
  }
  const bool on_pipewire = std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
  for (JackKind kind : {JackKind::kAsync, JackKind::kSync, JackKind::kPipeWire}) {
    if (o.kinds.find(JackKindName(kind)) == std::string::npos) continue;
    if ((kind == JackKind::kPipeWire) == on_pipewire) {
      Measure(kind, o);
    } else if (!on_pipewire) {
      std::string cmd = std::string("pw-jack ") + argv[0] + " --kinds pipewire --runs " +
                        std::to_string(o.runs) + " --gap-us " + std::to_string(o.gap_us) +
                        (o.busy ? " --busy" : "") + (o.fault ? " --fault" : "") +
                        (o.long_stall ? " --long-stall" : "");
      std::fflush(stdout);
      if (std::system(cmd.c_str()) != 0) std::printf("pipewire: %s failed\n", cmd.c_str());
    }
  }
  return 0;
}
