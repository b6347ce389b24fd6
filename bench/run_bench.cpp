// A whole update run to a private JACK server: a 1 MiB file of 1 KiB System Exclusive messages
// 4 ticks apart. Prints the program's CPU use over the run and its duration against the pacing
// model. Figures only; nothing is asserted.
#include <cstdio>
#include <cstdlib>

#include "JackServer.h"
#include "PlayRun.h"
#include "RecordingClient.h"

using namespace midiflash;
using namespace midiflash::testing;

int main() {
  std::string error;
  auto server = JackServer::Start(&error);
  if (!server) {
    std::fprintf(stderr, "bench_run: %s\n", error.c_str());
    return 1;
  }
  setenv("MIDIFLASH_MIDI_API", "jack", 1);
  RecordingClient recorder("bench-device", "in");

  constexpr int kMessages = 1024;
  constexpr uint32_t kGap = 4;
  TrackBuilder t;
  for (int i = 0; i < kMessages; ++i) {
    Bytes data(1023, static_cast<uint8_t>(i & 0x7F));
    data.back() = 0xF7;
    t.SysEx(i == 0 ? 0 : kGap, data);
  }
  t.EndOfTrack(kGap);
  const std::string path = bench::WriteTemp(Smf(1, 480, {t}));

  bench::PlayRun run(path, recorder.FullPortName());
  const int status = run.Wait();
  recorder.WaitForCount(kMessages, std::chrono::seconds(2));
  unlink(path.c_str());
  const double model = PacedSeconds(kMessages * kGap, 480);
  std::printf("run_exit_status: %d\n", status);
  std::printf("run_messages_received: %zu\n", recorder.Count());
  std::printf("run_seconds: %.3f\n", run.wall());
  std::printf("run_model_seconds: %.3f\n", model);
  std::printf("run_duration_ratio: %.4f\n", run.wall() / model);
  std::printf("run_cpu_percent: %.2f\n", 100.0 * run.cpu() / run.wall());
  return status == 0 ? 0 : 1;
}
