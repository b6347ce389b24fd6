// The one reader: every rule of ReadTrackEvent as a row of one table, then the record-based
// wrappers over it, the file check and the cable analysis that read the image through it.
#include <gtest/gtest.h>

#include "CableLoad.h"
#include "FileCheck.h"
#include "Log.h"
#include "SmfBuilder.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;
using ::testing::PrintToString;
using U = std::vector<uint32_t>;
using U64 = std::vector<uint64_t>;
constexpr ReadStep E = ReadStep::kEvent, X = ReadStep::kRefused, T = ReadStep::kEndOfTrack;
constexpr uint32_t kLast = UINT32_MAX - 5;  // a tick sum 5 below the last 32-bit value

struct StepCase {
  Bytes in;
  uint32_t runSts;  // running status before the step
  ReadStep step;
  uint32_t at;        // kRefused: CheckResult; else the kind (0 channel, 1 sysex, 2 escape, 3 meta)
  uint32_t where;     // kRefused: the offset; else where the cursor stands after it
  Bytes fields = {};  // status, data1, data2, dataOffset, dataLength, running, runSts after
  uint32_t ticks = 7;  // the tick sum before the step
};

TEST(ReadTrackEvent, EveryRuleOnItsBoundary) {
  const StepCase cases[] = {
      {{0x00, 0x90, 0x3C, 0x64}, 0, E, 0, 4, {0x90, 0x3C, 0x64, 0, 0, 0, 0x90}},
      {{0x00, 0xBF, 0x01, 0x7F}, 0, E, 0, 4, {0xBF, 0x01, 0x7F, 0, 0, 0, 0xBF}},
      {{0x00, 0xC0, 0x05}, 0x90, E, 0, 3, {0xC0, 0x05, 0, 0, 0, 0, 0xC0}},
      {{0x00, 0xDF, 0x10}, 0, E, 0, 3, {0xDF, 0x10, 0, 0, 0, 0, 0xDF}},
      {{0x00, 0xE0, 0x00, 0x40}, 0, E, 0, 4, {0xE0, 0x00, 0x40, 0, 0, 0, 0xE0}},
      {{0x00, 0x3C, 0x00}, 0x91, E, 0, 3, {0x91, 0x3C, 0x00, 0, 0, 1, 0x91}},
      {{0x00, 0x09}, 0xC5, E, 0, 2, {0xC5, 0x09, 0, 0, 0, 1, 0xC5}},
      {{0x00, 0xF0, 0x03, 0x43, 0x10, 0xF7}, 0x90, E, 1, 6, {0xF0, 0, 0, 3, 3, 0, 0x90}},
      {{0x00, 0xF7, 0x02, 0x43, 0x12}, 0, E, 2, 5, {0xF7, 0, 0, 3, 2, 0, 0}},
      {{0x00, 0xF0, 0x00}, 0, E, 1, 3, {0xF0, 0, 0, 3, 0, 0, 0}},
      {{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}, 0xB0, E, 3, 7, {0xFF, 0x51, 0, 4, 3, 0, 0xB0}},
      {{0x00, 0xFF, 0x2F, 0x00}, 0, T, 3, 4, {0xFF, 0x2F, 0, 4, 0, 0, 0}},
      // End of Track's data is never passed over, and only what exists of it is shown.
      {{0x00, 0xFF, 0x2F, 0x03, 0x01}, 0, T, 3, 4, {0xFF, 0x2F, 0, 4, 1, 0, 0}},
      // Length fields past 32 bits lose their high groups, as delta times do.
      {{0x00, 0xF0, 0x80, 0x80, 0x80, 0x80, 0x01, 0x41}, 0, E, 1, 8, {0xF0, 0, 0, 7, 1, 0, 0}},
      // Tick sums up to the last 32-bit value, and none past it.
      {{0x05, 0x90, 0x3C, 0x64}, 0, E, 0, 4, {0x90, 0x3C, 0x64, 0, 0, 0, 0x90}, kLast},
      {{0x06, 0x90, 0x3C, 0x64}, 0, X, kCheckTickOverflow, 0, {}, kLast},
      {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64}, 0, X, kCheckTickOverflow, 0, {}, 1},
      // Refusals: the image ends at an event, inside one, or inside its data.
      {{}, 0, X, kCheckNoEndOfTrack, 0},
      {{0x81}, 0, X, kCheckEventCut, 1},
      {{0x00}, 0, X, kCheckEventCut, 1},
      {{0x00, 0x90, 0x3C}, 0, X, kCheckEventCut, 3},
      {{0x00, 0x3C}, 0x90, X, kCheckEventCut, 2},
      {{0x00, 0xC0}, 0, X, kCheckEventCut, 2},
      {{0x00, 0xF0, 0x85}, 0, X, kCheckEventCut, 3},
      {{0x00, 0xF0, 0x03, 0x01, 0x02}, 0, X, kCheckEventCut, 3},
      {{0x00, 0xFF}, 0, X, kCheckEventCut, 2},
      {{0x00, 0xFF, 0x01, 0x02, 0x41}, 0, X, kCheckEventCut, 4},
      // Strict rules.
      {{0x00, 0xF1, 0x00, 0x00}, 0x90, X, kCheckSystemStatus, 1},
      {{0x00, 0xF8}, 0, X, kCheckSystemStatus, 1},
      {{0x00, 0xFE}, 0, X, kCheckSystemStatus, 1},
      {{0x05, 0x3C, 0x40}, 0, X, kCheckNoRunningStatus, 1},
      {{0x00, 0x7F}, 0, X, kCheckNoRunningStatus, 1},
      {{0x00, 0x90, 0xCC, 0x40}, 0, X, kCheckDataByteHigh, 2},
      {{0x00, 0x90, 0x3C, 0x80}, 0, X, kCheckDataByteHigh, 3},
      {{0x00, 0xC0, 0x80}, 0, X, kCheckDataByteHigh, 2},
      {{0x00, 0x3C, 0xFF}, 0x90, X, kCheckDataByteHigh, 2},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    TrackCursor cur{0, c.runSts, c.ticks};
    SmfEvent e;
    ReadRefusal why;
    ASSERT_EQ(ReadTrackEvent(c.in.data(), uint32_t(c.in.size()), cur, e, why), c.step);
    if (c.step == X) {  // the cursor stays where it was
      EXPECT_EQ((U{uint32_t(why.result), why.offset, cur.pos, cur.runSts, cur.ticks}),
                (U{c.at, c.where, 0, c.runSts, c.ticks}));
      continue;
    }
    EXPECT_EQ((U{uint32_t(e.kind), cur.pos, cur.ticks, e.tick}),
              (U{c.at, c.where, c.ticks + c.in[0], c.ticks + c.in[0]}));
    EXPECT_EQ((Bytes{e.status, e.data1, e.data2, uint8_t(e.dataOffset), uint8_t(e.dataLength),
                     e.runningStatus, uint8_t(cur.runSts)}),
              c.fields);
    EXPECT_EQ(e.WireBytes(), e.kind == EventKind::kChannel ? 1 + ChannelDataBytes(e.status)
                             : e.kind == EventKind::kMeta  ? 0
                                                           : e.dataLength + 1u);
  }
}

struct ReaderFixture : ::testing::Test {
  PlayerState s;
  SmfReader r{s};
  FileCheck check{s, r};
  CableLoad load;
  std::vector<std::string> log;
  ScopedLogCapture capture{[this](const std::string& l) { log.push_back(l); }};
  SmfTrack& Load(const Bytes& b) {
    s.SMF = b;
    s.SmfSize = b.size();
    return s.sTrk[0] = SmfTrack{};
  }
  // The track records stay as the last check left them.
  int32_t Check(const Bytes& b) {
    s.SMF = b;
    s.SmfSize = b.size();
    return check.SmfPlaySet();
  }
  static TrackBuilder Ticks(uint32_t n) {
    TrackBuilder t;
    return t.Event(0, {0x90, 0x3C, 0x64}).Event(n, {0x80, 0x3C, 0x00}).EndOfTrack();
  }
  void Measure(uint16_t division, const std::vector<TrackBuilder>& tracks) {
    ASSERT_EQ(Check(Smf(1, division, tracks)), kCheckPlayable);
    ASSERT_EQ(MeasureCableLoad(s, load), kCheckPlayable);
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

TEST_F(ReaderFixture, NumbersOfAnyLengthNeverReadPastTheImage) {
  const struct {
    Bytes in;
    uint32_t value, taken;
  } cases[] = {{{0x81, 0x00}, 128, 2},
               {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 0xFFFFFFFFu, 5},
               {{0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 1, 7},
               {{0x81, 0x81}, (1u << 14) + (1u << 7), 2}};  // cut: the end reads as 0
  for (const auto& c : cases) {
    SmfTrack& t = Load(c.in);
    EXPECT_EQ(r.ReadVariNum(0), c.value);
    EXPECT_EQ(t.TrkPtr, c.taken);
  }
  SmfTrack& t = Load({0x01, 0xE0, 0x00, 0x00, 0x00, 0x06, 0x12});
  EXPECT_EQ((U{r.Read2Byte(0), r.Read4Byte(0), r.Read2Byte(0), t.TrkPtr}), (U{480, 6, 0x1200, 7}));
}

TEST_F(ReaderFixture, ReadEventFillsTheRecordLeavesDataToTheCallerAndLogsLongDeltas) {
  // A delta of 8000 ticks passes quietly, 8001 are logged.
  SmfTrack& t = Load({0x00, 0x90, 0x3C, 0x64, 0x00, 0x3C, 0x00, 0x00, 0xFF, 0x01, 0x00, 0xBE, 0x40,
                      0xC1, 0x05, 0x02, 0xF0, 0x02, 0x41, 0xF7, 0xBE, 0x41, 0x06, 0x00, 0xF8});
  const U want[] = {{0x90, 0x3C, 0x64, 3, 4, 0},     {0x90, 0x3C, 0x00, 3, 7, 0},
                    {0xFF, 0x01, 0x00, 0, 11, 0},    {0xC1, 0x05, 0x00, 2, 15, 8000},
                    {0xF0, 0x05, 0x00, 2, 18, 8002}, {0xC1, 0x06, 0x00, 2, 23, 16003}};
  for (const U& w : want) {
    ASSERT_EQ(r.ReadEvent(0), 1);
    EXPECT_EQ((U{t.Sts, t.Data1, t.Data2, t.DataLen, t.TrkPtr, uint32_t(t.WaitClock)}), w);
    if (t.Sts == 0xF0) t.TrkPtr += t.DataLen;  // SysEx: TrkPtr stood on its first data byte
  }
  EXPECT_EQ(log, (std::vector<std::string>{"delta_time > 8000", "status: c1"}));
  EXPECT_EQ((U{t.TotalClock, t.RunSts}), (U{16003, 0xC1}));
  EXPECT_EQ(r.ReadEvent(0), 0);  // F8 is refused and the record stays as it was
  EXPECT_EQ((U{uint32_t(r.refusal().result), r.refusal().offset}), (U{kCheckSystemStatus, 24}));
  EXPECT_EQ((U{t.TrkPtr, t.Sts, uint32_t(t.WaitClock)}), (U{23, 0xC1, 16003}));
  Load({0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64});  // 2^32 - 1 counts as -1: not logged
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(s.sTrk[0].WaitClock, -1);
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(ReaderFixture, HeaderAndTracksWithTheirRefusals) {
  const Bytes h = Header(0, 0, 480);
  TrackBuilder a = Ticks(480), b = Ticks(1920), one = Ticks(1);  // Ticks(1) is 12 bytes
  std::vector<TrackBuilder> many;
  for (uint32_t i = 0; i < 33; ++i) many.push_back(Ticks(i + 1));
  TrackBuilder eot_data, hidden, stray, fits, open, quiet;
  eot_data.Event(10, {0x90, 0x3C, 0x64}).Meta(0, 0x2F, {1, 2, 3});
  hidden.SysEx(0, {0xFF, 0x2F, 0x00}).Meta(5, 0x01, {0xFF, 0x2F, 0x00}).EndOfTrack(7);
  stray.Event(0, {0x3C, 0x40}).EndOfTrack();
  fits.Event(0x0FFFFFFF, {0x90, 0x3C, 0x64});  // 16 × (2^28 - 1) + 15 = 2^32 - 1
  for (int i = 0; i < 15; ++i) fits.Event(0x0FFFFFFF, {0x3C, 0x00});
  fits.Event(15, {0x3C, 0x00}).EndOfTrack();
  open.Event(0, {0x90, 0x3C, 0x64}).Event(10, {0x80, 0x3C, 0x00});  // no End of Track
  quiet.EndOfTrack();
  const struct {
    Bytes in;
    int32_t result;
    uint32_t total;  // tTotalClock, also after a refusal (the tracks before it keep their scan)
    int32_t track;
    uint64_t offset;
  } cases[] = {
      // The header's tests in their order; every field is stored before any is tested.
      {{}, kCheckHeaderCut, 0, -1, 0},
      {{'X'}, kCheckNotSmf, 0, -1, 0},
      {{'M', 'T'}, kCheckHeaderCut, 0, -1, 2},
      {Cat({{'M', 'T', 'h', 'e'}, Be32(6), {0, 0, 0, 0, 1, 0xE0}}), kCheckNotSmf, 0, -1, 0},
      {Bytes(h.begin(), h.begin() + 7), kCheckHeaderCut, 0, -1, 7},
      {Cat({Header(0, 0, 480, 7), {0}}), kCheckNotSmf, 0, -1, 4},
      {Bytes(h.begin(), h.begin() + 13), kCheckHeaderCut, 0, -1, 13},
      {Header(2, 34, 0xE728), kCheckBadFormat, 0, -1, 8},
      {Header(1, 34, 0xE728), kCheckTooManyTracks, 0, -1, 10},
      {Header(1, 33, 0x8000), kCheckSmpteDivision, 0, -1, 12},
      {Header(1, 0, 0x7FFF), kCheckPlayable, 0, -1, 0},
      {Cat({Header(0, 2, 480), a.Chunk(3), b.Chunk(1000)}), kCheckPlayable, 1920, -1, 0},
      {Smf(1, 96, many), kCheckPlayable, 33, -1, 0},
      {Smf(1, 96, {fits}), kCheckPlayable, UINT32_MAX, -1, 0},
      {Cat({Header(1, 2, 480), a.Chunk(), {0x00}, b.Chunk()}), kCheckNoTrackChunk, 480, 1, 35},
      {Cat({Header(1, 1, 480), a.Chunk(), {1, 2, 3}}), kCheckPlayable, 480, -1, 0},
      {Cat({Header(1, 2, 96), eot_data.Chunk(), Ticks(5).Chunk()}), kCheckNoTrackChunk, 10, 1, 30},
      {Smf(1, 96, {hidden}), kCheckPlayable, 12, -1, 0},
      {Cat({Header(1, 1, 96), {'M', 'T', 'r', 'k', 0, 0}}), kCheckTrackChunkCut, 0, 0, 18},
      {Cat({Header(1, 1, 96), {'M', 'T', 'r'}}), kCheckTrackChunkCut, 0, 0, 14},
      {Cat({Header(1, 1, 96), {'M', 'X', 'r'}}), kCheckNoTrackChunk, 0, 0, 14},
      {Cat({Header(1, 1, 96), {'M', 'T', 'r', 'k', 0xFF, 0xFF, 0xFF, 0xFF}}), kCheckNoEndOfTrack, 0,
       0, 22},
      {Cat({Header(1, 2, 96), one.Chunk(), TrackBuilder().Raw({0, 0x90, 0x3C, 0x64}).Chunk()}),
       kCheckNoEndOfTrack, 1, 1, 46},
      // A reader's refusal names its track and byte offset; track 1's events begin at 42.
      // Running status carries over neither from track 0 nor from the table's last use.
      {Smf(1, 96, {one, stray}), kCheckNoRunningStatus, 1, 1, 43},
      // A track without End of Track reads on into the next chunk: it is named, not the next one
      // (with a third track: check's refusals).
      {Cat({Header(1, 1, 96), open.Chunk(), quiet.Chunk()}), kCheckNoEndOfTrack, 0, 0, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(PrintToString(c.in));
    s.sTrk[1].RunSts = 0x90;
    EXPECT_EQ(Check(c.in), c.result);
    EXPECT_EQ(s.tTotalClock, c.total);
    EXPECT_EQ(check.failure().track, c.track);
    EXPECT_EQ(check.failure().offset, c.offset);
  }
  // Every cut of a sound file is refused inside the cut: each copy is exactly n bytes long, so
  // that AddressSanitizer sees any read past it.
  TrackBuilder tempo, body;
  tempo.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  body.SysEx(0, Bytes(200, 0x11)).Event(0x4000, {0x90, 0x3C, 0x64}).Event(5, {0x3C, 0x00});
  const Bytes whole = Smf(1, 480, {tempo, body.EndOfTrack(1)});
  ASSERT_EQ(Check(whole), kCheckPlayable);
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_NE(Check(Bytes(whole.begin(), whole.begin() + n)), kCheckPlayable) << "cut at " << n;
    EXPECT_LE(check.failure().offset, n);
  }
  Check(Cat({Header(0, 0, 480, 7), {0}}));
  EXPECT_EQ(s.HeaderSize, 7u);
  Check(Header(2, 34, 480));
  EXPECT_EQ(s.SmfTracks, 34);
  s.SmfSize = uint64_t{1} << 32;  // too large to address: refused before anything is read
  EXPECT_EQ(check.SmfPlaySet(), kCheckTooLarge);
}

TEST_F(ReaderFixture, SysExLongerThanItsGapAndNoLonger) {
  // 48 ticks at 480 a quarter note are 50 ms; 156 bytes take 49.92 ms, 157 take 50.24 ms. Exactly
  // equal is not longer: 625 bytes take 200 ms, and so do 192 ticks.
  for (const uint32_t wire : {156, 157, 625, 626}) {
    Measure(480, {SysExThenNote(wire, wire < 600 ? 48 : 192, 7)});
    EXPECT_TRUE(load.timed);
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

TEST_F(ReaderFixture, WireBytesSplitSystemExclusiveAndDivisionZero) {
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
  EXPECT_EQ(load.totalBytes, 3u + 3 + 2 + 4 + 3 + 3 + 3 + 1);
  EXPECT_EQ(load.busiestSecondBytes, load.totalBytes);
  // F0 43 10 and the empty F0 are split; the first at track 1, tick 3.
  EXPECT_EQ((U64{load.splitSysEx, uint64_t(load.firstSplitTrack), load.firstSplitTick}),
            (U64{2, 1, 3}));
  Measure(96, {t});
  EXPECT_EQ(load.splitSysEx, 0u);
  Measure(0, {SysExThenNote(3000, 0)});  // division 0: nothing is timed
  EXPECT_FALSE(load.timed);
  EXPECT_TRUE(load.overruns.empty());
  EXPECT_EQ((U64{load.busiestSecondBytes, load.totalBytes}), (U64{0, 3003}));
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
