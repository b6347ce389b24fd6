// Prints MIDI output latency (send to arrival at a recording client) and System Exclusive
// throughput on a private jackd and on a private PipeWire (this program runs itself again through
// pw-jack for it), side by side. For PipeWire also how full its cycles were while a burst waited:
// each cycle's messages in PipeWire's terms (CycleBudget) against the port buffer's size, and
// against the most that messages of that size can fill. Figures only; nothing is asserted.
// Latency is taken on jack_get_time(), the clock JACK's own cycle times are based on: on the
// dummy driver jack_frame_time() runs several periods ahead of the frame time that the process
// callback sees, so a frame difference would come out negative.
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "JackBackend.h"
#include "JackServer.h"
#include "MidiService.h"
#include "RecordingClient.h"

using midiflash::CycleBudget;
using midiflash::MidiOutput;
using midiflash::testing::JackKind;
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

// Sends `count` System Exclusive messages of `size` bytes back to back; returns the KiB/s that
// arrived and, on PipeWire, the mean fill of the cycles that carried them (the last one left out).
std::pair<double, double> Burst(MidiOutput& midi, RecordingClient& recorder, size_t size,
                                int count) {
  std::vector<uint8_t> sysex(size, 0x11);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  const size_t before = recorder.Count();
  const auto start = std::chrono::steady_clock::now();
  int sent = 0;
  for (int i = 0; i < count; ++i) sent += midi.Send(sysex.data(), sysex.size()) == 0;
  if (!recorder.WaitForCount(before + static_cast<size_t>(sent), 20s)) {
    std::fprintf(stderr, "bench_midi: %zu of %d messages arrived\n", recorder.Count() - before,
                 sent);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto messages = recorder.Messages();
  std::map<jack_nframes_t, size_t> cycles;  // first frame -> bytes in PipeWire's terms
  for (size_t i = before; i < messages.size(); ++i) {
    cycles[messages[i].frame] += CycleBudget::kEventHeader + ((messages[i].bytes.size() + 7) & ~7u);
  }
  double fill = 0;
  if (cycles.size() > 1) {
    cycles.erase(std::prev(cycles.end()));
    for (const auto& [frame, bytes] : cycles) fill += double(CycleBudget::kSequenceHeader + bytes);
    fill /= double(cycles.size());
  }
  return {double(messages.size() - before) * double(size) / 1024.0 / seconds, fill};
}

// One server's figures as `name: value` lines.
std::string Measure(JackKind kind) {
  std::string error;
  auto server = JackServer::Start(&error, kind);
  if (!server) return "error: " + error + "\n";
  setenv("MIDIFLASH_MIDI_API", "jack", 1);
  RecordingClient recorder("bench-recorder");
  const auto output = midiflash::OpenMidiOutput();
  MidiOutput& midi = *output;
  if (!recorder.ok() || !OpenByName(midi, recorder.FullPortName())) return "error: no recorder\n";

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
  char line[160];
  std::string out;
  const auto add = [&](const char* name, double v) {
    std::snprintf(line, sizeof line, "%s: %.0f\n", name, v);
    out += line;
  };
  add("midi_latency_p50_us", Percentile(latency_us, 0.50));
  add("midi_latency_p99_us", Percentile(latency_us, 0.99));
  add("largest_message_bytes", double(midi.LargestMessage(recorder.FullPortName())));
  // Throughput of 16 KiB messages, then how full a burst keeps each cycle, by message size.
  add("sysex_throughput_KBps", Burst(midi, recorder, kThroughputBytes, kThroughputMessages).first);
  const size_t capacity = jack_port_type_get_buffer_size(recorder.client(), JACK_DEFAULT_MIDI_TYPE);
  for (size_t size : {size_t{256}, size_t{1024}, size_t{4096}, size_t{16384}}) {
    const auto [kbps, fill] = Burst(midi, recorder, size, int(4 * 1024 * 1024 / size));
    // The most that whole messages of this size can fill, below the end of the buffer.
    const size_t cost = CycleBudget::kEventHeader + ((size + 7) & ~size_t{7});
    const double best = double(CycleBudget::kSequenceHeader +
                               (capacity - CycleBudget::kSequenceHeader - 1) / cost * cost);
    const std::string name = "sysex_" + std::to_string(size) + "_";
    add((name + "throughput_KBps").c_str(), kbps);
    if (kind != JackKind::kPipeWire) continue;  // jackd packs by its own rules
    add((name + "cycle_fill_percent").c_str(), 100 * fill / double(capacity));
    add((name + "cycle_fill_of_best_percent").c_str(), 100 * fill / best);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--pipewire") == 0) {
    std::fputs(Measure(JackKind::kPipeWire).c_str(), stdout);
    return 0;
  }
  const std::string jackd = Measure(JackKind::kSync);
  std::string pipewire;
  if (FILE* p = popen((std::string("pw-jack ") + argv[0] + " --pipewire").c_str(), "r")) {
    for (char buf[256]; std::fgets(buf, sizeof buf, p);) pipewire += buf;
    pclose(p);
  }
  // name: jackd's value, PipeWire's value (- where there is none).
  std::map<std::string, std::pair<std::string, std::string>> rows;
  std::vector<std::string> order;
  for (const auto& [text, pw] :
       {std::pair{&jackd, false}, std::pair{static_cast<const std::string*>(&pipewire), true}}) {
    for (size_t at = 0, end; (end = text->find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string l = text->substr(at, end - at);
      const size_t colon = l.find(": ");
      if (colon == std::string::npos) continue;
      const std::string name = l.substr(0, colon);
      if (!rows.count(name)) order.push_back(name);
      (pw ? rows[name].second : rows[name].first) = l.substr(colon + 2);
    }
  }
  std::printf("%-42s %12s %12s\n", "# name", "jackd", "pipewire");
  for (const std::string& name : order) {
    const auto& [j, p] = rows[name];
    std::printf("%-42s %12s %12s\n", (name + ":").c_str(), j.empty() ? "-" : j.c_str(),
                p.empty() ? "-" : p.c_str());
  }
  if (jackd.rfind("error", 0) == 0 || pipewire.empty())
    std::fputs((jackd + pipewire).c_str(), stderr);
  return 0;
}
