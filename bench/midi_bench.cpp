// Prints MIDI output latency (send to arrival at a recording client) and System Exclusive
// throughput, measured on a private JACK server. Figures only; nothing is asserted.
// Latency is taken on jack_get_time(), the clock JACK's own cycle times are based on: on the
// dummy driver jack_frame_time() runs several periods ahead of the frame time that the process
// callback sees, so a frame difference would come out negative.
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "JackServer.h"
#include "MidiService.h"
#include "RecordingClient.h"

using midiflash::MidiOutput;
using midiflash::testing::JackServer;
using midiflash::testing::RecordingClient;
using namespace std::chrono_literals;

namespace {

constexpr int kLatencySamples = 1000;
constexpr int kThroughputMessages = 128;
constexpr size_t kThroughputBytes = 16 * 1024;

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

bool OpenByName(MidiOutput& midi, const std::string& name) {
  return midi.OpenDestination(name) == 0;
}

}  // namespace

int main() {
  std::string error;
  auto server = JackServer::Start(&error);
  if (!server) {
    std::fprintf(stderr, "bench_midi: %s\n", error.c_str());
    return 1;
  }
  setenv("MIDIFLASH_MIDI_API", "jack", 1);
  RecordingClient recorder("bench-recorder");
  const auto output = midiflash::OpenMidiOutput();
  MidiOutput& midi = *output;
  if (!recorder.ok() || !OpenByName(midi, recorder.FullPortName())) {
    std::fprintf(stderr, "bench_midi: no recording client\n");
    return 1;
  }

  // Latency: one note at a time, at uneven moments within the period.
  std::vector<double> latency_us;
  for (int i = 0; i < kLatencySamples; ++i) {
    const jack_time_t sent = jack_get_time();
    const uint8_t note[] = {0x90, static_cast<uint8_t>(i & 0x7F), 0x40};
    if (midi.Send(note, sizeof note) != 0) continue;
    if (!recorder.WaitForCount(static_cast<size_t>(i) + 1, 1s)) break;
    latency_us.push_back(static_cast<double>(recorder.Messages().back().usecs) -
                         static_cast<double>(sent));
    std::this_thread::sleep_for(std::chrono::microseconds(500 + (i * 337) % 2000));
  }
  const size_t before = recorder.Count();

  // Throughput: 16 KiB messages back to back, until the last one has arrived.
  std::vector<uint8_t> sysex(kThroughputBytes, 0x11);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  const auto start = std::chrono::steady_clock::now();
  int sent = 0;
  for (int i = 0; i < kThroughputMessages; ++i) {
    sent += midi.Send(sysex.data(), sysex.size()) == 0;
  }
  if (!recorder.WaitForCount(before + static_cast<size_t>(sent), 10s)) {
    std::fprintf(stderr, "bench_midi: %zu of %d messages arrived\n", recorder.Count() - before,
                 sent);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double kbytes = static_cast<double>(recorder.Count() - before) * kThroughputBytes / 1024.0;

  std::printf("midi_latency_p50_us: %.0f\n", Percentile(latency_us, 0.50));
  std::printf("midi_latency_p99_us: %.0f\n", Percentile(latency_us, 0.99));
  std::printf("sysex_throughput_KBps: %.0f\n", kbytes / seconds);
  return 0;
}
