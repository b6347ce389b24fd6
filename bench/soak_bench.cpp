// A long update run (20 minutes unless BENCH_SOAK_SECONDS says otherwise) to a private JACK
// server: resident memory growth after the first minute, CPU use, and messages lost on the way.
// Figures only; nothing is asserted.
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "JackServer.h"
#include "PlayRun.h"
#include "RecordingClient.h"

using namespace midiflash;
using namespace midiflash::testing;

int main() {
  const char* env = std::getenv("BENCH_SOAK_SECONDS");
  const double seconds = env ? std::atof(env) : 1200.0;
  std::string error;
  auto server = JackServer::Start(&error);
  if (!server) {
    std::fprintf(stderr, "bench_soak: %s\n", error.c_str());
    return 1;
  }
  setenv("MIDIFLASH_MIDI_API", "jack", 1);
  RecordingClient recorder("soak-device", "in");

  // At division 480 a period advances 2 ticks: 48 ticks are 24 periods, about 70 ms.
  constexpr uint32_t kGap = 48;
  const int messages = static_cast<int>(seconds / (24 * kTickPeriodSeconds));
  TrackBuilder t;
  for (int i = 0; i < messages; ++i) {
    if (i % 2 == 0) {
      Bytes data(255, static_cast<uint8_t>(i & 0x7F));
      data.back() = 0xF7;
      t.SysEx(kGap, data);
    } else {
      t.Event(kGap, {0x90, static_cast<uint8_t>(i & 0x7F), 0x40});
    }
  }
  t.EndOfTrack(kGap);
  const std::string path = bench::WriteTemp(Smf(1, 480, {t}));

  bench::PlayRun run(path, recorder.FullPortName());
  const double first_minute = std::min(60.0, seconds / 4);
  std::this_thread::sleep_for(std::chrono::duration<double>(first_minute));
  const long rss_early = run.RssKb();
  long rss_late = rss_early;
  // Sample until shortly before the end, while the process still exists.
  for (double t_ = first_minute; t_ < seconds - 2; t_ += 1.0) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss = run.RssKb();
    if (rss > 0) rss_late = rss;
  }
  const int status = run.Wait();
  recorder.WaitForCount(static_cast<size_t>(messages), std::chrono::seconds(2));
  unlink(path.c_str());
  std::printf("soak_seconds: %.1f\n", run.wall());
  std::printf("soak_exit_status: %d\n", status);
  std::printf("soak_rss_after_first_minute_kB: %ld\n", rss_early);
  std::printf("soak_rss_growth_kB: %ld\n", rss_late - rss_early);
  std::printf("soak_cpu_percent: %.2f\n", 100.0 * run.cpu() / run.wall());
  std::printf("soak_messages_sent: %d\n", messages);
  std::printf("soak_messages_lost: %lld\n",
              static_cast<long long>(messages) - static_cast<long long>(recorder.Count()));
  return status == 0 ? 0 : 1;
}
