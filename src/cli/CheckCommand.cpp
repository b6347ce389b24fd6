#include "CheckCommand.h"

#include <cstdarg>
#include <cstdio>

#include "CableLoad.h"
#include "CliCheckedFile.h"
#include "CliHelp.h"
#include "CliJson.h"
#include "Pacing.h"

namespace midiflash {
namespace {

// More lines than this about single messages bury the rest of the report; --json lists them all.
constexpr size_t kOverrunLinesShown = 20;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

struct Warning {
  std::string message;
  std::string json;      // the object's members other than "message"
  bool overrun = false;  // about one System Exclusive message
};

struct Report {
  std::string path;
  int32_t result = 0;
  std::string reason;
  bool header = false;
  uint16_t format = 0;
  uint16_t tracks = 0;
  uint16_t division = 0;
  std::vector<uint32_t> trackSizes;
  std::vector<uint32_t> trackTicks;
  uint32_t totalTicks = 0;
  CheckFailure failure;
  bool analysed = false;  // playable, so the cable load was measured
  CableLoad cable;
  std::vector<Warning> warnings;

  bool Advances() const { return division != 0 || totalTicks == 0; }
  double Seconds() const { return division == 0 ? 0.0 : TicksToSeconds(totalTicks, division); }
};

void AddWarnings(Report& r) {
  if (!r.Advances()) {
    r.warnings.push_back(
        {"with a division of 0 playback never gets past tick 0, so the update never completes",
         "\"type\":\"never_advances\""});
  }
  if (r.cable.RateExceeded()) {
    const unsigned long long bytes = r.cable.busiestSecondBytes;
    const uint32_t tick = r.cable.busiestSecondTick;
    r.warnings.push_back(
        {Format("the busiest second, from tick %u (%.3f s), sends %llu bytes: more than the %u "
                "bytes a second a 31250-baud cable carries",
                tick, TicksToSeconds(tick, r.division), bytes, kCableBytesPerSecond),
         Format("\"type\":\"data_rate\",\"tick\":%u,\"bytes\":%llu,\"limit\":%u", tick, bytes,
                kCableBytesPerSecond)});
  }
  if (r.cable.splitSysEx > 0) {
    const unsigned long long count = r.cable.splitSysEx;
    const int32_t track = r.cable.firstSplitTrack;
    const uint32_t tick = r.cable.firstSplitTick;
    r.warnings.push_back(
        {Format("%llu System Exclusive message%s split into packets (an F0 event without F7, the "
                "rest in F7 events), the first on track %d at tick %u: every packet goes out with "
                "F0 in front, so the device receives separate messages",
                count, count == 1 ? " is" : "s are", track, tick),
         Format("\"type\":\"sysex_split\",\"count\":%llu,\"track\":%d,\"tick\":%u", count, track,
                tick)});
  }
  for (const CableOverrun& o : r.cable.overruns) {
    const double wire_ms = o.WireSeconds() * 1e3;
    const double gap_ms = TicksToSeconds(o.nextTick - o.tick, r.division) * 1e3;
    r.warnings.push_back(
        {Format("track %d, tick %u: System Exclusive of %llu bytes takes %.2f ms on a 31250-baud "
                "cable, but the next message (track %d, tick %u) is due %.2f ms later",
                o.track, o.tick, static_cast<unsigned long long>(o.bytes), wire_ms, o.nextTrack,
                o.nextTick, gap_ms),
         Format("\"type\":\"sysex_overrun\",\"track\":%d,\"tick\":%u,\"bytes\":%llu,"
                "\"wire_ms\":%.3f,\"next_track\":%d,\"next_tick\":%u,\"gap_ms\":%.3f",
                o.track, o.tick, static_cast<unsigned long long>(o.bytes), wire_ms, o.nextTrack,
                o.nextTick, gap_ms),
         true});
  }
}

Report BuildReport(const std::string& path, CheckedFile& file) {
  Report r;
  const PlayerState& s = file.state;
  r.path = path;
  r.result = file.result;
  r.reason = ExplainCheckResult(file);
  r.failure = file.failure;
  r.header = file.HeaderRead();
  if (r.header) {
    r.format = s.SmfFormat;
    r.tracks = s.SmfTracks;
    r.division = s.SmfDivision;
  }
  for (int32_t i = 0; i < file.ScannedTracks(); ++i) {
    r.trackSizes.push_back(s.sTrk[i].TrkSize);
    r.trackTicks.push_back(s.sTrk[i].TotalClock);
  }
  if (file.result != kCheckPlayable) return r;
  r.totalTicks = s.tTotalClock;
  r.analysed = MeasureCableLoad(file.state, r.cable) == kCheckPlayable;
  AddWarnings(r);
  return r;
}

void WritePlain(const Report& r, std::ostream& out) {
  out << "file: " << r.path << "\n";
  out << "result: " << r.result << " (" << (r.result == kCheckPlayable ? "" : "refused: ")
      << r.reason << ")\n";
  if (r.header) {
    out << "format: " << r.format << "\n";
    out << "tracks: " << r.tracks << "\n";
    out << "division: " << r.division << " ticks per quarter note\n";
  }
  for (size_t i = 0; i < r.trackTicks.size(); ++i) {
    out << "track " << i << ": " << r.trackSizes[i] << " bytes declared, " << r.trackTicks[i]
        << " ticks\n";
  }
  if (r.result != kCheckPlayable) return;
  out << "length: " << r.totalTicks << " ticks\n";
  if (r.Advances()) {
    out << Format("playing time at 120 bpm: %.3f s\n", r.Seconds());
    out << Format("an update run takes about %.1f s (each %.2f ms tick advances whole ticks)\n",
                  PacedSeconds(r.totalTicks, r.division), kTickPeriodSeconds * 1e3);
  } else {
    out << "playing time at 120 bpm: never ends (a division of 0 never advances)\n";
  }
  if (r.analysed) {
    out << "cable: " << r.cable.totalBytes << " bytes to send";
    if (r.cable.timed) {
      out << Format(
          "; busiest second %llu bytes, from tick %u (a 31250-baud cable carries %u "
          "bytes a second)",
          static_cast<unsigned long long>(r.cable.busiestSecondBytes), r.cable.busiestSecondTick,
          kCableBytesPerSecond);
    }
    out << "\n";
  }
  size_t overruns_shown = 0;
  for (const Warning& w : r.warnings) {
    if (w.overrun && overruns_shown++ >= kOverrunLinesShown) continue;
    out << "warning: " << w.message << "\n";
  }
  if (r.cable.overruns.size() > kOverrunLinesShown) {
    out << "warning: " << r.cable.overruns.size() - kOverrunLinesShown
        << " more System Exclusive messages overrun the cable (--json lists them all)\n";
  }
}

template <typename T>
std::string JsonArray(const std::vector<T>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ",";
    out += std::to_string(values[i]);
  }
  return out + "]";
}

void WriteJson(const Report& r, std::ostream& out) {
  const auto header = [&](unsigned v) { return r.header ? std::to_string(v) : "null"; };
  out << "{\"file\":" << JsonString(r.path) << ",\"result\":" << r.result
      << ",\"playable\":" << (r.result == kCheckPlayable ? "true" : "false")
      << ",\"reason\":" << JsonString(r.reason) << ",\"format\":" << header(r.format)
      << ",\"tracks\":" << header(r.tracks) << ",\"division\":" << header(r.division);
  if (r.result != kCheckPlayable) {
    out << ",\"failed_track\":"
        << (r.failure.track >= 0 ? std::to_string(r.failure.track) : std::string("null"))
        << ",\"failed_offset\":" << r.failure.offset;
  }
  out << ",\"track_sizes\":" << JsonArray(r.trackSizes)
      << ",\"track_ticks\":" << JsonArray(r.trackTicks);
  if (r.result != kCheckPlayable) {
    out << ",\"total_ticks\":null,\"seconds\":null,\"cable\":null";
  } else {
    out << ",\"total_ticks\":" << r.totalTicks
        << ",\"seconds\":" << (r.Advances() ? Format("%.3f", r.Seconds()) : "null")
        << ",\"run_seconds\":"
        << (r.Advances() ? Format("%.3f", PacedSeconds(r.totalTicks, r.division)) : "null");
    if (!r.analysed) {
      out << ",\"cable\":null";
    } else if (!r.cable.timed) {
      out << ",\"cable\":{\"bytes\":" << r.cable.totalBytes << "}";
    } else {
      out << ",\"cable\":{\"bytes\":" << r.cable.totalBytes
          << ",\"busiest_second_bytes\":" << r.cable.busiestSecondBytes
          << ",\"busiest_second_tick\":" << r.cable.busiestSecondTick
          << ",\"limit_bytes_per_second\":" << kCableBytesPerSecond << "}";
    }
  }
  out << ",\"warnings\":[";
  for (size_t i = 0; i < r.warnings.size(); ++i) {
    out << (i > 0 ? "," : "") << "{" << r.warnings[i].json
        << ",\"message\":" << JsonString(r.warnings[i].message) << "}";
  }
  out << "]}\n";
}

}  // namespace
}  // namespace midiflash

int RunCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  using namespace midiflash;
  bool json = false;
  std::vector<std::string> paths;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UnknownOption("check", a, err);
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() != 1) {
    err << "usage: midiflash-cli check FILE [--json]\n";
    return kCheckExitUnusable;
  }

  const std::string& path = paths[0];
  CheckedFile file;
  const LoadOutcome loaded = LoadCheckedFile(path, file);
  if (loaded != LoadOutcome::kChecked) {
    err << OpenErrorText(path, loaded) << "\n";
    return kCheckExitUnusable;
  }
  const Report report = BuildReport(path, file);
  if (json) {
    WriteJson(report, out);
  } else {
    WritePlain(report, out);
  }
  return report.result == kCheckPlayable ? kCheckExitPlayable : kCheckExitRefused;
}
