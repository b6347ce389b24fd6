// The one reader: every rule of ReadTrackEvent (tests/core/scripts/reader-steps.txt), then the file
// check and the cable analysis that read the image through it.
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
  const auto hex = [](uint32_t v) { return Hex({uint8_t(v)}); };
  const std::string cursor =
      "; cursor " + std::to_string(c.pos) + hex(c.runSts) + " " + std::to_string(c.ticks) + "\n";
  if (step == ReadStep::kRefused) {
    out += "refused " + std::to_string(why.result) + " (" + CheckReason(why.result) + ") at " +
           std::to_string(why.offset) + cursor;
    return;
  }
  const char* kinds[] = {"channel", "sysex", "escape", "meta"};
  out += std::string(step == ReadStep::kEndOfTrack ? "end of track " : "") + kinds[int(e.kind)] +
         hex(e.status) + hex(e.data1) + hex(e.data2) + (e.runningStatus ? " running" : "") +
         ", data " + std::to_string(e.dataOffset) + "+" + std::to_string(e.dataLength) + ", wire " +
         std::to_string(e.WireBytes()) + ", tick " + std::to_string(e.tick) + cursor;
}

TEST(ReadTrackEvent, EveryRuleOnItsBoundary) {
  const auto scripts = ReplayScripts(MIDIFLASH_SCRIPTS, "reader-", [] { return Step; });
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(std::get<1>(scripts[0]), std::get<2>(scripts[0]));
}

struct ReaderFixture : ::testing::Test {
  CheckedFile f;
  CableLoad load;
  std::vector<std::string> log;
  ScopedLogCapture capture{[this](const std::string& l) { log.push_back(l); }};
  int32_t Check(const Bytes& b) { return (f = CheckFile(b)).result; }
  static TrackBuilder Ticks(uint32_t n) {
    TrackBuilder t;
    return t.Event(0, {0x90, 0x3C, 0x64}).Event(n, {0x80, 0x3C, 0x00}).EndOfTrack();
  }
  void Measure(uint16_t division, const std::vector<TrackBuilder>& tracks) {
    ASSERT_EQ(Check(Smf(1, division, tracks)), kCheckPlayable);
    load = MeasureCableLoad(f);
  }
  U64 Busiest() const { return {load.busiestSecondBytes, load.busiestSecondTick}; }
  U64 Overrun(size_t i) const {
    const CableOverrun& o = load.overruns.at(i);
    return {uint64_t(o.track), o.tick, o.bytes, uint64_t(o.nextTrack), o.nextTick};
  }
  // A SysEx that goes out as `wire` bytes (F0 included) at `delta`, then a note `gap` ticks on.
  static TrackBuilder SysExThenNote(uint32_t wire, uint32_t gap, uint32_t delta = 0) {
    TrackBuilder t;
    return t.SysEx(delta, Bytes(wire - 1, 0x11)).Event(gap, {0x90, 0x3C, 0x64}).EndOfTrack();
  }
};

// Each refusal, its track, byte offset and explanation: the corpus (tests/data) with its golden
// check reports. Here what no report shows, and the cuts of a sound file.
TEST_F(ReaderFixture, SpansCutsAndTheLog) {
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
  Check(Cat({Header(0, 2, 480), Ticks(8000).Chunk(3), Ticks(8001).Chunk(1000)}));
  EXPECT_EQ(f.tracks.size(), 2u);
  EXPECT_EQ((U{f.tracks[0].declaredLength, f.tracks[0].firstEvent, f.tracks[0].ticks,
               f.tracks[1].declaredLength, f.tracks[1].firstEvent, f.tracks[1].ticks}),
            (U{3, 22, 8000, 1000, 43, 8001}));
  EXPECT_EQ(log, (std::vector<std::string>{"delta_time > 8000", "status: 80"}));
  Check(Header(2, 34, 480));
  EXPECT_EQ((U{f.format, f.trackCount, f.division, f.headerRead}), (U{2, 34, 480, 1}));
  EXPECT_FALSE(CheckFile({'M', 'T', 'h', 'd', 0, 0, 0, 6}).headerRead);
}

TEST_F(ReaderFixture, SysExLongerThanItsGapAndNoLonger) {
  // 48 ticks at 480 a quarter note are 50 ms; 156 bytes take 49.92 ms, 157 take 50.24 ms. Exactly
  // equal is not longer: 625 bytes take 200 ms, and so do 192 ticks.
  for (const uint32_t wire : {156, 157, 625, 626}) {
    Measure(480, {SysExThenNote(wire, wire < 600 ? 48 : 192, 7)});
    ASSERT_EQ(load.overruns.size(), wire == 157 || wire == 626 ? 1u : 0u) << wire;
  }
  EXPECT_EQ(Overrun(0), (U64{0, 7, 626, 0, 199}));
  EXPECT_NEAR(load.overruns[0].WireSeconds(), 0.20032, 1e-9);
}

TEST_F(ReaderFixture, TracksMergeByTickThenTrackAndMetaEventsDoNotCount) {
  // 100 bytes take 32 ms; 10 ticks are 10.4 ms. The meta event at tick 1 is not the next message.
  TrackBuilder a, b, first, later;
  a.Event(10, {0x90, 0x3C, 0x64}).EndOfTrack(480);
  b.SysEx(0, Bytes(99, 0x11)).Meta(1, 0x06, {'m'}).EndOfTrack(480);
  Measure(480, {a, b});
  ASSERT_EQ(load.overruns.size(), 1u);
  EXPECT_EQ(Overrun(0), (U64{1, 0, 100, 0, 10}));
  // At the same tick track 0 goes first, so its message is not the one that follows; a later
  // track's message at that tick follows at once.
  first.Event(0, {0xC0, 0x01}).EndOfTrack();
  later.Event(0, {0xC1, 0x01}).EndOfTrack();
  Measure(480, {first, SysExThenNote(2, 960)});
  EXPECT_TRUE(load.overruns.empty());
  Measure(480, {SysExThenNote(2, 960), later});
  ASSERT_EQ(load.overruns.size(), 1u);
  EXPECT_EQ(Overrun(0), (U64{0, 0, 2, 1, 0}));
}

TEST_F(ReaderFixture, WireBytesLargestMessageAndSplitSystemExclusive) {
  TrackBuilder t, split;
  t.Event(0, {0x90, 0x3C, 0x64})
      .Event(0, {0x3C, 0x00})  // running status: still three bytes on the cable
      .Event(0, {0xC0, 0x05})
      .Meta(0, 0x01, Bytes(50, 'a'))
      .SysEx(0, {0x43, 0x10, 0xF7})  // whole: not split
      .Escape(0, {0x43, 0x12})
      .EndOfTrack();
  split.SysEx(3, {0x43, 0x10}).Escape(1, {0x4C, 0xF7}).SysEx(2, {}).EndOfTrack();
  Measure(96, {t, split});
  EXPECT_EQ(f.wireBytes, 3u + 3 + 2 + 4 + 3 + 3 + 3 + 1);
  EXPECT_EQ(load.busiestSecondBytes, f.wireBytes);
  EXPECT_EQ((U64{f.largest.bytes, uint64_t(f.largest.track), f.largest.tick}), (U64{4, 0, 0}));
  // F0 43 10 and the empty F0 are split; the first at track 1, tick 3.
  EXPECT_EQ((U64{load.splitSysEx, uint64_t(load.firstSplitTrack), load.firstSplitTick}),
            (U64{2, 1, 3}));
  Measure(96, {t});
  EXPECT_EQ(load.splitSysEx, 0u);
  Measure(96, {Ticks(1), SysExThenNote(3000, 0, 5)});  // the largest is named where it stands
  EXPECT_EQ((U64{f.largest.bytes, uint64_t(f.largest.track), f.largest.tick}), (U64{3000, 1, 5}));
}

TEST_F(ReaderFixture, BusiestSecondIsTwoDivisionsLong) {
  // At 480 a quarter note one second is ticks [t, t + 960).
  auto file = [](uint32_t second_block_tick) {
    TrackBuilder t;
    return t.Event(0, {0xC0, 0x05})
        .SysEx(100, Bytes(1599, 0x11))
        .SysEx(second_block_tick - 100, Bytes(1525, 0x22))
        .EndOfTrack();
  };
  Measure(480, {file(1059)});
  EXPECT_EQ(Busiest(), (U64{3126, 100}));
  EXPECT_TRUE(load.RateExceeded());
  EXPECT_TRUE(load.overruns.empty());
  Measure(480, {file(1060)});
  EXPECT_EQ(Busiest(), (U64{1602, 0}));
  EXPECT_FALSE(load.RateExceeded());
  // Two equal seconds: the first is named.
  TrackBuilder twice, a, b;
  twice.SysEx(5, Bytes(99, 0x11)).SysEx(1000, Bytes(99, 0x11)).EndOfTrack();
  Measure(480, {twice});
  EXPECT_EQ(Busiest(), (U64{100, 5}));
  // Many ticks inside one second, from two tracks: the window holds every tick of it.
  for (int i = 0; i < 959; ++i) a.Event(1, {0x90, 0x3C, 0x64});
  a.EndOfTrack();
  b.Event(959, {0xC0, 0x01}).Event(1, {0xC0, 0x02}).EndOfTrack();
  Measure(480, {a, b});
  EXPECT_EQ(Busiest(), (U64{959 * 3 + 4, 1}));
}

}  // namespace
}  // namespace midiflash
