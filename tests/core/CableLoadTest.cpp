// What a file asks of a 31250-baud cable at 120 bpm.
#include <gtest/gtest.h>

#include "CableLoad.h"
#include "FileCheck.h"
#include "SmfBuilder.h"

namespace midiflash {
namespace {

using testing::Bytes;
using testing::Smf;
using testing::TrackBuilder;

struct CableFixture : ::testing::Test {
  PlayerState s;
  SmfReader r{s};
  FileCheck check{s, r};
  CableLoad load;

  void Measure(uint16_t division, const std::vector<TrackBuilder>& tracks) {
    const Bytes b = Smf(1, division, tracks);
    s.SMF = b;
    s.SmfSize = b.size();
    ASSERT_EQ(check.SmfPlaySet(), kCheckPlayable);
    ASSERT_EQ(MeasureCableLoad(s, load), kCheckPlayable);
  }
  // A SysEx that goes out as `wire` bytes (F0 included) at `delta`, then a note `gap` ticks on.
  static TrackBuilder SysExThenNote(uint32_t wire, uint32_t gap, uint32_t delta = 0) {
    TrackBuilder t;
    t.SysEx(delta, Bytes(wire - 1, 0x11)).Event(gap, {0x90, 0x3C, 0x64}).EndOfTrack();
    return t;
  }
};

TEST_F(CableFixture, SysExLongerThanItsGapAndNoLonger) {
  // 48 ticks at 480 a quarter note are 50 ms; 156 bytes take 49.92 ms, 157 take 50.24 ms.
  Measure(480, {SysExThenNote(156, 48)});
  EXPECT_TRUE(load.timed);
  EXPECT_TRUE(load.overruns.empty());
  Measure(480, {SysExThenNote(157, 48, 7)});
  ASSERT_EQ(load.overruns.size(), 1u);
  const CableOverrun& o = load.overruns[0];
  EXPECT_EQ(o.track, 0);
  EXPECT_EQ(o.tick, 7u);
  EXPECT_EQ(o.bytes, 157u);
  EXPECT_EQ(o.nextTrack, 0);
  EXPECT_EQ(o.nextTick, 55u);
  EXPECT_NEAR(o.WireSeconds(), 0.05024, 1e-9);
  // Exactly equal is not longer: 625 bytes take 200 ms, and so do 192 ticks.
  Measure(480, {SysExThenNote(625, 192)});
  EXPECT_TRUE(load.overruns.empty());
  Measure(480, {SysExThenNote(626, 192)});
  EXPECT_EQ(load.overruns.size(), 1u);
}

TEST_F(CableFixture, TheNextMessageMayBeInAnyTrackButNotAMetaEvent) {
  // 100 bytes take 32 ms; 10 ticks are 10.4 ms.
  TrackBuilder a, b;
  a.Event(10, {0x90, 0x3C, 0x64}).EndOfTrack(480);
  b.SysEx(0, Bytes(99, 0x11)).Meta(1, 0x06, {'m'}).EndOfTrack(480);
  Measure(480, {a, b});
  ASSERT_EQ(load.overruns.size(), 1u);
  EXPECT_EQ(load.overruns[0].track, 1);
  EXPECT_EQ(load.overruns[0].nextTrack, 0);
  EXPECT_EQ(load.overruns[0].nextTick, 10u);

  // At the same tick track 0 goes first, so its message is not the one that follows; a later
  // track's message at that tick follows at once.
  TrackBuilder first, later;
  first.Event(0, {0xC0, 0x01}).EndOfTrack();
  later.Event(0, {0xC1, 0x01}).EndOfTrack();
  Measure(480, {first, SysExThenNote(2, 960)});
  EXPECT_TRUE(load.overruns.empty());
  Measure(480, {SysExThenNote(2, 960), later});
  ASSERT_EQ(load.overruns.size(), 1u);
  EXPECT_EQ(load.overruns[0].nextTrack, 1);
  EXPECT_EQ(load.overruns[0].nextTick, 0u);
}

TEST_F(CableFixture, OnlyWhatIsSentCounts) {
  TrackBuilder t;
  t.Event(0, {0x3C})  // no running status: never sent
      .Event(0, {0x90, 0x3C, 0x64})
      .Event(0, {0x3C, 0x00})  // running status: still three bytes on the cable
      .Event(0, {0xC0, 0x05})
      .Event(0, {0xF8})
      .Meta(0, 0x01, Bytes(50, 'a'))
      .Escape(0, {0x43, 0x12})
      .SysEx(0, {})
      .EndOfTrack();
  Measure(96, {t});
  EXPECT_EQ(load.totalBytes, 3u + 3 + 2 + 3 + 1);
  EXPECT_EQ(load.busiestSecondBytes, load.totalBytes);
}

TEST_F(CableFixture, BusiestSecondIsTwoDivisionsLong) {
  // At 480 a quarter note one second is ticks [t, t + 960).
  auto file = [](uint32_t second_block_tick) {
    TrackBuilder t;
    t.Event(0, {0xC0, 0x05})
        .SysEx(100, Bytes(1599, 0x11))
        .SysEx(second_block_tick - 100, Bytes(1525, 0x22))
        .EndOfTrack();
    return t;
  };
  Measure(480, {file(1059)});
  EXPECT_EQ(load.busiestSecondBytes, 3126u);
  EXPECT_EQ(load.busiestSecondTick, 100u);
  EXPECT_TRUE(load.RateExceeded());
  EXPECT_TRUE(load.overruns.empty());
  EXPECT_EQ(load.totalBytes, 2u + 1600 + 1526);

  Measure(480, {file(1060)});
  EXPECT_EQ(load.busiestSecondBytes, 1602u);
  EXPECT_EQ(load.busiestSecondTick, 0u);
  EXPECT_FALSE(load.RateExceeded());
}

TEST_F(CableFixture, DivisionZeroIsNotTimed) {
  Measure(0, {SysExThenNote(3000, 0)});
  EXPECT_FALSE(load.timed);
  EXPECT_TRUE(load.overruns.empty());
  EXPECT_EQ(load.busiestSecondBytes, 0u);
  EXPECT_EQ(load.totalBytes, 3003u);
}

}  // namespace
}  // namespace midiflash
