// The one reader: every rule of ReadTrackEvent, what the file check keeps of a file and the cable
// analysis that reads the checked image through it (tests/core/scripts/reader-*.txt).
#include <gtest/gtest.h>

#include "CableLoad.h"
#include "CheckedFile.h"
#include "CoreFakes.h"
#include "Log.h"
#include "TrackReader.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

// `step RUNNING TICKS BYTES`: one ReadTrackEvent from that running status and tick sum.
void Step(const std::vector<std::string>& w, std::string& out) {
  const Bytes in = FromHex(w.begin() + 3, w.end());
  TrackCursor c{0, uint32_t(std::stoul(w[1], nullptr, 16)), uint32_t(std::stoul(w[2]))};
  TrackEvent e;
  ReadRefusal why;
  const ReadStep step = ReadTrackEvent(in.data(), uint32_t(in.size()), c, e, why);
  const std::string cursor = Format("; cursor %u %02X %u\n", c.pos, c.runSts, c.ticks);
  if (step == ReadStep::kRefused) {
    out +=
        Format("refused %d (%s) at %u", why.result, CheckReason(why.result), why.offset) + cursor;
    return;
  }
  const char* kinds[] = {"channel", "sysex", "escape", "meta"};
  out += Format("%s%s %02X %02X %02X%s, data %u+%u, wire %lu, tick %u",
                step == ReadStep::kEndOfTrack ? "end of track " : "", kinds[int(e.kind)], e.status,
                e.data1, e.data2, e.runningStatus ? " running" : "", e.dataOffset, e.dataLength,
                e.WireBytes(), e.tick) +
         cursor;
}

// `cable FILE` (SmfOf's words): the check's wire bytes and largest message, and the cable load.
void Cable(const std::vector<std::string>& w, std::string& out) {
  const CheckedFile f = CheckFile(SmfOf(w.begin() + 1, w.end()));
  const CableLoad c = MeasureCableLoad(f);
  out += Format(
      "result %d, wire %lu, largest %lu at track %d tick %u; busiest second %lu from tick "
      "%u%s; split %lu first at track %d tick %u\n",
      f.result, f.wireBytes, f.largest.bytes, f.largest.track, f.largest.tick, c.busiestSecondBytes,
      c.busiestSecondTick, c.RateExceeded() ? ", over the rate" : "", c.splitSysEx,
      c.firstSplitTrack, c.firstSplitTick);
  for (const CableOverrun& o : c.overruns) {
    out += Format("overrun track %d tick %u: %lu bytes take %.6f s, next track %d tick %u\n",
                  o.track, o.tick, o.bytes, o.WireSeconds(), o.nextTrack, o.nextTick);
  }
}

// `check BYTES`: what the file check keeps of the file.
void Check(const std::vector<std::string>& w, std::string& out) {
  const CheckedFile f = CheckFile(FromHex(w.begin() + 1, w.end()));
  out += Format("result %d at %lu; format %u, %u tracks, division %u, header %sread", f.result,
                f.failure.offset, f.format, f.trackCount, f.division, f.headerRead ? "" : "not ");
  for (const TrackSpan& t : f.tracks) {
    out += Format("; track %u+%u, %u ticks", t.firstEvent, t.declaredLength, t.ticks);
  }
  for (const MessageSpan& m : f.messages) out += Format("; message %u+%u", m.offset, m.length);
  out += Format("; wire %lu, largest %lu: message %u at %u\n", f.wireBytes, f.largest.bytes,
                f.largest.message, f.largest.offset);
}

TEST(Reader, EachStepAndEachFilesCableLoad) {
  std::string log;
  ScopedLogCapture capture{[&](const std::string& l) { log += "log " + l + "\n"; }};
  const auto scripts = ReplayScripts(MIDIFLASH_SCRIPTS, "reader-", [&] {
    return [&](const std::vector<std::string>& w, std::string& out) {
      (w[0] == "cable" ? Cable : w[0] == "check" ? Check : Step)(w, out);
      out += log, log.clear();
    };
  });
  ASSERT_EQ(scripts.size(), 3u);
  for (const auto& [path, got, want] : scripts) EXPECT_EQ(got, want) << path;
}

// Every cut of a sound file is refused inside the cut (each copy exact, for AddressSanitizer).
TEST(CheckFile, EveryCutIsRefusedInsideIt) {
  ScopedLogCapture quiet{[](const std::string&) {}};
  TrackBuilder tempo, body;
  tempo.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  body.SysEx(0, Bytes(200, 0x11)).Event(0x4000, {0x90, 0x3C, 0x64}).Event(5, {0x3C, 0x00});
  const Bytes whole = Smf(1, 480, {tempo, body.EndOfTrack(1)});
  ASSERT_EQ(CheckFile(whole).result, kCheckPlayable);
  for (size_t n = 0; n < whole.size(); ++n) {
    const CheckedFile f = CheckFile(Bytes(whole.begin(), whole.begin() + n));
    EXPECT_NE(f.result, kCheckPlayable) << "cut at " << n;
    EXPECT_LE(f.failure.offset, n);
  }
}

}  // namespace
}  // namespace midiflash
