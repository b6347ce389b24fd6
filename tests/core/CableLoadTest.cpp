#include <gtest/gtest.h>

#include "CableLoad.h"
#include "FileCheck.h"
#include "SmfBuilder.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;
using U = std::vector<uint64_t>;

struct CableFixture : ::testing::Test {
  PlayerState s;
  SmfReader r{s};
  FileCheck check{s, r};
  CableLoad load;

  void Measure(uint16_t division, const std::vector<TrackBuilder>& tracks) {
    s.SMF = Smf(1, division, tracks);
    s.SmfSize = s.SMF.size();
    ASSERT_EQ(check.SmfPlaySet(), kCheckPlayable);
    ASSERT_EQ(MeasureCableLoad(s, load), kCheckPlayable);
  }
  U Busiest() const { return {load.busiestSecondBytes, load.busiestSecondTick}; }
  U Overrun(size_t i) const {
    const CableOverrun& o = load.overruns.at(i);
    return {uint64_t(o.track), o.tick, o.bytes, uint64_t(o.nextTrack), o.nextTick};
  }
  // A SysEx that goes out as `wire` bytes (F0 included) at `delta`, then a note `gap` ticks on.
  static TrackBuilder SysExThenNote(uint32_t wire, uint32_t gap, uint32_t delta = 0) {
    TrackBuilder t;
    return t.SysEx(delta, Bytes(wire - 1, 0x11)).Event(gap, {0x90, 0x3C, 0x64}).EndOfTrack();
  }
};

TEST_F(CableFixture, SysExLongerThanItsGapAndNoLonger) {
  // 48 ticks at 480 a quarter note are 50 ms; 156 bytes take 49.92 ms, 157 take 50.24 ms. Exactly
  // equal is not longer: 625 bytes take 200 ms, and so do 192 ticks.
  for (const uint32_t wire : {156, 157, 625, 626}) {
    Measure(480, {SysExThenNote(wire, wire < 600 ? 48 : 192, 7)});
    EXPECT_TRUE(load.timed);
    ASSERT_EQ(load.overruns.size(), wire == 157 || wire == 626 ? 1u : 0u) << wire;
  }
  EXPECT_EQ(Overrun(0), (U{0, 7, 626, 0, 199}));
  EXPECT_NEAR(load.overruns[0].WireSeconds(), 0.20032, 1e-9);
}

TEST_F(CableFixture, TracksMergeByTickThenTrackAndMetaEventsDoNotCount) {
  // 100 bytes take 32 ms; 10 ticks are 10.4 ms. The meta event at tick 1 is not the next message.
  TrackBuilder a, b, first, later;
  a.Event(10, {0x90, 0x3C, 0x64}).EndOfTrack(480);
  b.SysEx(0, Bytes(99, 0x11)).Meta(1, 0x06, {'m'}).EndOfTrack(480);
  Measure(480, {a, b});
  ASSERT_EQ(load.overruns.size(), 1u);
  EXPECT_EQ(Overrun(0), (U{1, 0, 100, 0, 10}));
  // At the same tick track 0 goes first, so its message is not the one that follows; a later
  // track's message at that tick follows at once.
  first.Event(0, {0xC0, 0x01}).EndOfTrack();
  later.Event(0, {0xC1, 0x01}).EndOfTrack();
  Measure(480, {first, SysExThenNote(2, 960)});
  EXPECT_TRUE(load.overruns.empty());
  Measure(480, {SysExThenNote(2, 960), later});
  ASSERT_EQ(load.overruns.size(), 1u);
  EXPECT_EQ(Overrun(0), (U{0, 0, 2, 1, 0}));
}

TEST_F(CableFixture, WireBytesSplitSystemExclusiveAndDivisionZero) {
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
  EXPECT_EQ((U{load.splitSysEx, uint64_t(load.firstSplitTrack), load.firstSplitTick}),
            (U{2, 1, 3}));
  Measure(96, {t});
  EXPECT_EQ(load.splitSysEx, 0u);
  Measure(0, {SysExThenNote(3000, 0)});  // division 0: nothing is timed
  EXPECT_FALSE(load.timed);
  EXPECT_TRUE(load.overruns.empty());
  EXPECT_EQ((U{load.busiestSecondBytes, load.totalBytes}), (U{0, 3003}));
}

TEST_F(CableFixture, BusiestSecondIsTwoDivisionsLong) {
  // At 480 a quarter note one second is ticks [t, t + 960).
  auto file = [](uint32_t second_block_tick) {
    TrackBuilder t;
    return t.Event(0, {0xC0, 0x05})
        .SysEx(100, Bytes(1599, 0x11))
        .SysEx(second_block_tick - 100, Bytes(1525, 0x22))
        .EndOfTrack();
  };
  Measure(480, {file(1059)});
  EXPECT_EQ(Busiest(), (U{3126, 100}));
  EXPECT_TRUE(load.RateExceeded());
  EXPECT_TRUE(load.overruns.empty());
  Measure(480, {file(1060)});
  EXPECT_EQ(Busiest(), (U{1602, 0}));
  EXPECT_FALSE(load.RateExceeded());
  // Two equal seconds: the first is named.
  TrackBuilder twice, a, b;
  twice.SysEx(5, Bytes(99, 0x11)).SysEx(1000, Bytes(99, 0x11)).EndOfTrack();
  Measure(480, {twice});
  EXPECT_EQ(Busiest(), (U{100, 5}));
  // Many ticks inside one second, from two tracks: the window holds every tick of it.
  for (int i = 0; i < 959; ++i) a.Event(1, {0x90, 0x3C, 0x64});
  a.EndOfTrack();
  b.Event(959, {0xC0, 0x01}).Event(1, {0xC0, 0x02}).EndOfTrack();
  Measure(480, {a, b});
  EXPECT_EQ(Busiest(), (U{959 * 3 + 4, 1}));
}

}  // namespace
}  // namespace midiflash
