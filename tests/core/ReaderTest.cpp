// The one reader: every rule of ReadTrackEvent, and the cable analysis that reads the checked image
// through it (tests/core/scripts/reader-*.txt); what the file check keeps of a file.
#include <gtest/gtest.h>

#include "CableLoad.h"
#include "CheckedFile.h"
#include "CoreFakes.h"
#include "Log.h"
#include "TrackReader.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;
using U = std::vector<uint32_t>;
using U64 = std::vector<uint64_t>;

// `step RUNNING TICKS BYTES`: one ReadTrackEvent over the bytes, from that running status and tick
// sum; what it returns, the event and where the cursor stands after it.
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

// `cable FILE` (SmfOf's words): the check's wire bytes and largest message, then the cable load:
// the busiest second, split System Exclusive, each overrun.
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

TEST(Reader, EachStepAndEachFilesCableLoad) {
  const auto scripts = ReplayScripts(MIDIFLASH_SCRIPTS, "reader-", [] {
    return [](const std::vector<std::string>& w, std::string& out) {
      (w[0] == "cable" ? Cable : Step)(w, out);
    };
  });
  ASSERT_EQ(scripts.size(), 2u);
  for (const auto& [path, got, want] : scripts) EXPECT_EQ(got, want) << path;
}

// Each refusal, its track, byte offset and explanation: the corpus (tests/data) with its golden
// check reports. Here what no report shows, and the cuts of a sound file.
TEST(CheckFile, SpansCutsAndTheLog) {
  CheckedFile f;
  std::vector<std::string> log;
  ScopedLogCapture capture{[&](const std::string& l) { log.push_back(l); }};
  const auto Check = [&](const Bytes& b) { return (f = CheckFile(b)).result; };
  const Bytes m1{0xF0, 0x7E, 0x7F, 0xF7}, m2{0xF0, 0xF7};  // System Exclusive messages
  // A System Exclusive file's messages in file order, their bytes, and the first of the largest.
  Check(Cat({m2, m1, m2, m1}));
  U spans;
  for (const MessageSpan& m : f.messages) spans.insert(spans.end(), {m.offset, m.length});
  EXPECT_EQ(spans, (U{0, 2, 2, 4, 6, 2, 8, 4}));
  EXPECT_EQ((U64{f.wireBytes, f.largest.bytes, f.largest.message, f.largest.offset}),
            (U64{12, 4, 2, 2}));
  // Every cut of a sound file is refused inside the cut: each copy is exactly n bytes long, so
  // that AddressSanitizer sees any read past it.
  TrackBuilder tempo, body;
  tempo.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  body.SysEx(0, Bytes(200, 0x11)).Event(0x4000, {0x90, 0x3C, 0x64}).Event(5, {0x3C, 0x00});
  const Bytes whole = Smf(1, 480, {tempo, body.EndOfTrack(1)});
  ASSERT_EQ(Check(whole), kCheckPlayable);
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_NE(Check(Bytes(whole.begin(), whole.begin() + n)), kCheckPlayable) << "cut at " << n;
    EXPECT_LE(f.failure.offset, n);
  }
  // What the scan keeps of each track, and the long delta times it logs (8000 ticks pass quietly).
  log.clear();
  TrackBuilder a, b;
  a.Event(0, {0x90, 0x3C, 0x64}).Event(8000, {0x80, 0x3C, 0x00}).EndOfTrack();
  b.Event(0, {0x90, 0x3C, 0x64}).Event(8001, {0x80, 0x3C, 0x00}).EndOfTrack();
  Check(Cat({Header(0, 2, 480), a.Chunk(3), b.Chunk(1000)}));
  EXPECT_EQ(f.tracks.size(), 2u);
  EXPECT_EQ((U{f.tracks[0].declaredLength, f.tracks[0].firstEvent, f.tracks[0].ticks,
               f.tracks[1].declaredLength, f.tracks[1].firstEvent, f.tracks[1].ticks}),
            (U{3, 22, 8000, 1000, 43, 8001}));
  EXPECT_EQ(log, (std::vector<std::string>{"delta_time > 8000", "status: 80"}));
  Check(Header(2, 34, 480));
  EXPECT_EQ((U{f.format, f.trackCount, f.division, f.headerRead}), (U{2, 34, 480, 1}));
  EXPECT_FALSE(CheckFile({'M', 'T', 'h', 'd', 0, 0, 0, 6}).headerRead);
}

}  // namespace
}  // namespace midiflash
