#include "CheckCommand.h"

#include <cstdarg>
#include <cstdio>

#include "CableLoad.h"
#include "CheckedFile.h"
#include "CliArgs.h"
#include "CliHelp.h"
#include "CliPortMatch.h"
#include "CliText.h"
#include "ListCommand.h"
#include "MidiService.h"
#include "Pacing.h"
#include "PlayCommand.h"
#include "PosixFileSource.h"
#include "StatusText.h"

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
  const CheckedFile* file = nullptr;
  int32_t result = 0;
  std::string reason;
  CableLoad cable;
  std::string destination;  // with --port: its name, and what it carries
  uint64_t limit = UINT64_MAX;
  std::vector<Warning> warnings;
  uint32_t gapMs = kDefaultSysExGapMs;

  bool Plays() const { return result == kCheckPlayable; }
  double Seconds() const { return TicksToSeconds(file->totalTicks, file->division); }
};

void AddWarnings(Report& r) {
  const uint16_t division = r.file->division;
  if (r.cable.RateExceeded()) {
    const unsigned long long bytes = r.cable.busiestSecondBytes;
    const uint32_t tick = r.cable.busiestSecondTick;
    r.warnings.push_back(
        {Format("the busiest second, from tick %u (%.3f s), sends %llu bytes: more than the %u "
                "bytes a second a 31250-baud cable carries",
                tick, TicksToSeconds(tick, division), bytes, kCableBytesPerSecond),
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
    const double gap_ms = TicksToSeconds(o.nextTick - o.tick, division) * 1e3;
    const auto bytes = static_cast<unsigned long long>(o.bytes);
    r.warnings.push_back(
        {Format("track %d, tick %u: System Exclusive of %llu bytes takes %.2f ms on a 31250-baud "
                "cable, but the next message (track %d, tick %u) is due %.2f ms later",
                o.track, o.tick, bytes, wire_ms, o.nextTrack, o.nextTick, gap_ms),
         Format("\"type\":\"sysex_overrun\",\"track\":%d,\"tick\":%u,\"bytes\":%llu,"
                "\"wire_ms\":%.3f,\"next_track\":%d,\"next_tick\":%u,\"gap_ms\":%.3f",
                o.track, o.tick, bytes, wire_ms, o.nextTrack, o.nextTick, gap_ms),
         true});
  }
}

const char* KindName(FileKind kind) {
  switch (kind) {
    case FileKind::kSmf:
      return "Standard MIDI File";
    case FileKind::kSysEx:
      return "System Exclusive file";
    case FileKind::kNone:
      break;
  }
  return nullptr;
}

const char* KindJson(FileKind kind) {
  return kind == FileKind::kSmf ? "\"smf\"" : kind == FileKind::kSysEx ? "\"sysex\"" : "null";
}

std::string DestinationLine(const Report& r) {
  return "destination: " + Printable(r.destination) + ", " +
         (r.limit == UINT64_MAX ? std::string("messages of any size")
                                : "messages of up to " + GroupedNumber(r.limit) + " bytes") +
         "\n";
}

std::string DestinationJson(const Report& r) {
  if (r.destination.empty()) return "";
  return ",\"destination\":{\"name\":" + JsonString(r.destination) + ",\"largest_message\":" +
         (r.limit == UINT64_MAX ? std::string("null") : std::to_string(r.limit)) + "}";
}

// The report of a System Exclusive file: its messages are sent as they stand, each whole and at
// the cable's pace, so there is no cable load to warn of.
void WriteSysExPlain(const Report& r, std::ostream& out) {
  const CheckedFile& f = *r.file;
  if (!r.destination.empty()) out << DestinationLine(r);
  if (!f.playable()) return;
  out << "messages: " << f.messages.size() << ", the largest " << f.largest.bytes
      << " bytes (message " << f.largest.message << ", at byte offset " << f.largest.offset
      << ")\n";
  out << "cable: " << f.wireBytes << " bytes to send, each message whole, the next one " << r.gapMs
      << " ms after it has left\n";
  out << Format("an update run takes about %.1f s on a 31250-baud cable\n",
                SysExRunSeconds(f, r.gapMs));
}

void WriteSysExJson(const Report& r, std::ostream& out) {
  const CheckedFile& f = *r.file;
  out << ",\"message_sizes\":[";
  for (size_t i = 0; i < f.messages.size(); ++i) {
    out << (i > 0 ? "," : "") << f.messages[i].length;
  }
  out << "]" << DestinationJson(r);
  if (!f.playable()) {
    out << ",\"messages\":null,\"run_seconds\":null,\"cable\":null";
  } else {
    out << ",\"messages\":" << f.messages.size() << ",\"gap_ms\":" << r.gapMs
        << ",\"run_seconds\":" << Format("%.3f", SysExRunSeconds(f, r.gapMs))
        << ",\"cable\":{\"bytes\":" << f.wireBytes << ",\"largest_message\":" << f.largest.bytes
        << ",\"largest_message_offset\":" << f.largest.offset << "}";
  }
  out << ",\"warnings\":[]}\n";
}

void WritePlain(const Report& r, std::ostream& out) {
  const CheckedFile& f = *r.file;
  out << "file: " << Printable(r.path) << "\n";
  if (const char* kind = KindName(f.kind)) out << "kind: " << kind << "\n";
  out << "result: " << r.result << " (" << (r.Plays() ? "" : "refused: ") << r.reason << ")\n";
  if (f.kind == FileKind::kSysEx) return WriteSysExPlain(r, out);
  if (f.headerRead) {
    out << "format: " << f.format << "\n";
    out << "tracks: " << f.trackCount << "\n";
    out << "division: " << f.division << " ticks per quarter note\n";
  }
  for (size_t i = 0; i < f.tracks.size(); ++i) {
    out << "track " << i << ": " << f.tracks[i].declaredLength << " bytes declared, "
        << f.tracks[i].ticks << " ticks\n";
  }
  if (!r.destination.empty()) out << DestinationLine(r);
  if (!f.playable()) return;
  out << "length: " << f.totalTicks << " ticks\n";
  out << Format("playing time at 120 bpm: %.3f s\n", r.Seconds());
  out << Format("an update run takes about %.1f s (each %.2f ms tick advances whole ticks)\n",
                PacedSeconds(f.totalTicks, f.division), kTickPeriodSeconds * 1e3);
  out << "cable: " << f.wireBytes << " bytes to send, the largest message " << f.largest.bytes
      << Format(
             " bytes; busiest second %llu bytes, from tick %u (a 31250-baud cable carries %u "
             "bytes a second)\n",
             static_cast<unsigned long long>(r.cable.busiestSecondBytes), r.cable.busiestSecondTick,
             kCableBytesPerSecond);
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
std::string JsonArray(const std::vector<TrackSpan>& tracks, T TrackSpan::*field) {
  std::string out = "[";
  for (size_t i = 0; i < tracks.size(); ++i) {
    out += (i > 0 ? "," : "") + std::to_string(tracks[i].*field);
  }
  return out + "]";
}

void WriteJson(const Report& r, std::ostream& out) {
  const CheckedFile& f = *r.file;
  const auto header = [&](unsigned v) { return f.headerRead ? std::to_string(v) : "null"; };
  out << "{\"file\":" << JsonString(r.path) << ",\"kind\":" << KindJson(f.kind)
      << ",\"result\":" << r.result << ",\"playable\":" << (r.Plays() ? "true" : "false")
      << ",\"reason\":" << JsonString(r.reason);
  if (f.kind == FileKind::kSysEx) {
    if (!f.playable()) out << ",\"failed_offset\":" << f.failure.offset;
    return WriteSysExJson(r, out);
  }
  out << ",\"format\":" << header(f.format) << ",\"tracks\":" << header(f.trackCount)
      << ",\"division\":" << header(f.division);
  if (!f.playable()) {
    out << ",\"failed_track\":"
        << (f.failure.track >= 0 ? std::to_string(f.failure.track) : std::string("null"))
        << ",\"failed_offset\":" << f.failure.offset;
  }
  out << ",\"track_sizes\":" << JsonArray(f.tracks, &TrackSpan::declaredLength)
      << ",\"track_ticks\":" << JsonArray(f.tracks, &TrackSpan::ticks) << DestinationJson(r);
  if (!f.playable()) {
    out << ",\"total_ticks\":null,\"seconds\":null,\"cable\":null";
  } else {
    out << ",\"total_ticks\":" << f.totalTicks << ",\"seconds\":" << Format("%.3f", r.Seconds())
        << ",\"run_seconds\":" << Format("%.3f", PacedSeconds(f.totalTicks, f.division))
        << ",\"cable\":{\"bytes\":" << f.wireBytes << ",\"largest_message\":" << f.largest.bytes
        << ",\"busiest_second_bytes\":" << r.cable.busiestSecondBytes
        << ",\"busiest_second_tick\":" << r.cable.busiestSecondTick
        << ",\"limit_bytes_per_second\":" << kCableBytesPerSecond << "}";
  }
  out << ",\"warnings\":[";
  for (size_t i = 0; i < r.warnings.size(); ++i) {
    out << (i > 0 ? "," : "") << "{" << r.warnings[i].json
        << ",\"message\":" << JsonString(r.warnings[i].message) << "}";
  }
  out << "]}\n";
}

}  // namespace

int RunCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a;
  std::string error;
  uint32_t gap_ms;
  if (!ParseArgs(args, {{"--json", 0, false}, {"--port", 'p', true}, {"--gap", 0, true}}, a,
                 error) ||
      !GapOption(a, nullptr, gap_ms, error)) {
    return UsageError("check", error, err);
  }
  if (a.operands.size() != 1) return UsageError("check", "one FILE is needed", err);

  const std::string& path = a.operands[0];
  PosixFileSource files;
  const LoadedFile loaded = LoadFile(files, path);
  if (!loaded.checked) {
    err << "Open file error ! " << Printable(path) << ": " << ReadFailureReason(loaded.read)
        << "\n";
    return kCheckExitUnusable;
  }
  if (loaded.checked->playable() && !GapOption(a, loaded.checked.get(), gap_ms, error)) {
    return UsageError("check", error, err);
  }
  Report r;
  r.path = path;
  r.gapMs = gap_ms;
  r.file = loaded.checked.get();
  r.result = loaded.checked->result;
  r.reason = r.Plays() ? CheckReason(r.result) : ExplainRefusal(*r.file);
  if (a.Has("--port")) {
    const std::unique_ptr<MidiOutput> midi = OpenMidiOutput();
    if (std::string(midi->ServiceName()) == "none") {
      err << kNoMidiService << "\n";
      return kCheckExitUnusable;
    }
    const std::vector<MidiDestination> list = midi->ListDestinations();
    const PortMatch match = MatchPort(list, a.Value("--port"));
    if (match.index < 0) {
      err << "midiflash-cli: " << match.error << "\n";
      return kCheckExitUnusable;
    }
    const MidiDestination& d = list[static_cast<size_t>(match.index)];
    r.destination = d.name;
    r.limit = midi->LargestMessage(d.id);
    if (r.Plays() && r.file->largest.bytes > r.limit) {
      r.result = kCheckTooLargeForDestination;
      r.reason = TooLargeText(r.file->largest, r.limit, d.name);
    }
  }
  if (r.file->playable() && r.file->kind == FileKind::kSmf) {
    r.cable = MeasureCableLoad(*r.file);
    AddWarnings(r);
  }
  a.Has("--json") ? WriteJson(r, out) : WritePlain(r, out);
  return r.Plays() ? kCheckExitPlayable : kCheckExitRefused;
}

}  // namespace midiflash
