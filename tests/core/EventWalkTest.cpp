// The walk over a checked file's events: what it reads must be what playback reads and sends.
#include <gtest/gtest.h>

#include <algorithm>

#include "CoreFakes.h"
#include "EventWalk.h"
#include "FileCheck.h"
#include "UpdateWorkflow.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

struct WalkFixture : ::testing::Test {
  PlayerState s;
  SmfReader r{s};
  FileCheck check{s, r};
  std::vector<SmfEvent> events;

  void Load(const Bytes& b) {
    s.SMF = b;
    s.SmfSize = b.size();
    ASSERT_EQ(check.SmfPlaySet(), kCheckPlayable);
  }
  int32_t Walk() {
    events.clear();
    EventWalk walk(s);
    return walk.Walk([&](const SmfEvent& e) { events.push_back(e); });
  }
  Bytes Data(const SmfEvent& e) const {
    return Bytes(s.SMF.begin() + e.dataOffset, s.SMF.begin() + e.dataOffset + e.dataLength);
  }
};

TEST_F(WalkFixture, KindsTicksAndWireBytes) {
  TrackBuilder t;
  t.Event(0, {0x90, 0x3C, 0x64})
      .Event(200, {0x3C, 0x00})     // running status behind a two-byte delta
      .Event(0x4000, {0xC5, 0x07})  // three-byte delta, status present
      .Event(0x80, {0x09})          // running two-byte message behind a delta ending in 00
      .SysEx(1, {0x41, 0x10, 0xF7})
      .Escape(0, {0x43, 0x12})
      .Meta(2, 0x03, {'a', 'b'})
      .Event(0, {0xF8})
      .EndOfTrack(3);
  Load(Smf(0, 480, {t}));
  ASSERT_EQ(Walk(), kCheckPlayable);
  ASSERT_EQ(events.size(), 9u);

  struct Want {
    EventKind kind;
    uint32_t tick;
    uint8_t status;
    bool running;
    uint64_t wire;
  } want[] = {
      {EventKind::kChannel, 0, 0x90, false, 3},     {EventKind::kChannel, 200, 0x90, true, 3},
      {EventKind::kChannel, 16584, 0xC5, false, 2}, {EventKind::kChannel, 16712, 0xC5, true, 2},
      {EventKind::kSysEx, 16713, 0xF0, false, 4},   {EventKind::kEscape, 16713, 0xF7, false, 3},
      {EventKind::kMeta, 16715, 0xFF, false, 0},    {EventKind::kSystem, 16715, 0xF8, false, 0},
      {EventKind::kMeta, 16718, 0xFF, false, 0},
  };
  for (size_t i = 0; i < events.size(); ++i) {
    const SmfEvent& e = events[i];
    EXPECT_EQ(e.kind, want[i].kind) << i;
    EXPECT_EQ(e.tick, want[i].tick) << i;
    EXPECT_EQ(e.status, want[i].status) << i;
    EXPECT_EQ(e.runningStatus, want[i].running) << i;
    EXPECT_EQ(e.WireBytes(), want[i].wire) << i;
  }
  EXPECT_EQ(events[1].data1, 0x3C);
  EXPECT_EQ(events[3].data1, 0x09);
  EXPECT_EQ(Data(events[4]), (Bytes{0x41, 0x10, 0xF7}));
  EXPECT_EQ(Data(events[5]), (Bytes{0x43, 0x12}));
  EXPECT_EQ(events[6].data1, 0x03);
  EXPECT_EQ(Data(events[6]), (Bytes{'a', 'b'}));
  EXPECT_EQ(events[8].data1, 0x2F);
  EXPECT_EQ(events[0].offset, 22u);  // the delta time of the first event, right after MTrk+length
}

TEST_F(WalkFixture, EachTrackStartsWithoutRunningStatusAndRecordsAreRestored) {
  TrackBuilder a, b;
  a.Event(0, {0x90, 0x3C, 0x64}).EndOfTrack(4);
  b.Event(0, {0x3C}).Event(2, {0x91, 0x40, 0x10}).Event(0, {0x41, 0x00}).EndOfTrack();
  Load(Smf(1, 96, {a, b}));
  s.sTrk[1].RunSts = 0x90;  // left over from an earlier use of the table
  const SmfTrack before0 = s.sTrk[0], before1 = s.sTrk[1];

  ASSERT_EQ(Walk(), kCheckPlayable);
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[2].track, 1);
  EXPECT_EQ(events[2].kind, EventKind::kStrayData);
  EXPECT_EQ(events[2].status, 0x3C);
  EXPECT_EQ(events[2].WireBytes(), 0u);
  EXPECT_EQ(events[4].status, 0x91);
  EXPECT_TRUE(events[4].runningStatus);
  EXPECT_EQ(events[4].tick, 2u);

  for (auto [now, was] : {std::pair{s.sTrk[0], before0}, std::pair{s.sTrk[1], before1}}) {
    EXPECT_EQ(now.TrkPtr, was.TrkPtr);
    EXPECT_EQ(now.RunSts, was.RunSts);
    EXPECT_EQ(now.TotalClock, was.TotalClock);
    EXPECT_EQ(now.Sts, was.Sts);
    EXPECT_EQ(now.WaitClock, was.WaitClock);
  }
}

TEST_F(WalkFixture, AnImageCutAfterTheCheckStopsTheWalkInsideIt) {
  TrackBuilder a, b;
  a.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  b.SysEx(0, Bytes(40, 0x11)).Event(0x4000, {0x90, 0x3C, 0x64}).Event(5, {0x3C, 0x00}).EndOfTrack();
  const Bytes whole = Smf(1, 480, {a, b});
  Load(whole);
  const uint32_t top1 = s.sTrk[1].TrkTop;
  for (size_t n = top1; n < whole.size(); ++n) {
    // An exact-size copy so that AddressSanitizer sees any read past it.
    s.SMF = Bytes(whole.begin(), whole.begin() + n);
    EventWalk walk(s);
    const int32_t result =
        walk.Walk([&](const SmfEvent& e) { EXPECT_LE(uint64_t{e.dataOffset} + e.dataLength, n); });
    EXPECT_TRUE(result == kCheckEventCut || result == kCheckNoEndOfTrack) << n << ": " << result;
    EXPECT_EQ(walk.failure().track, 1);
    EXPECT_LE(walk.failure().offset, n);
  }
}

TEST(WalkAgainstPlayback, WireBytesAreWhatTheSequencerSends) {
  // Events far enough apart that every timer tick sends from one tick of the file only, so the
  // sequencer's order is tick, then track, then file order.
  TrackBuilder a, b;
  a.SysEx(0, {0x7D, 0x01, 0xF7})
      .Event(20, {0x90, 0x3C, 0x64})
      .Event(20, {0x3C, 0x00})
      .Meta(0, 0x06, {'m'})
      .Escape(20, {0x43, 0x12})
      .EndOfTrack(20);
  b.Event(0, {0x3C})
      .Event(20, {0xB0, 0x07, 0x64})
      .Event(0, {0xF2})
      .Event(20, {0xE0, 0x00, 0x40})
      .Event(20, {0xD3, 0x11})
      .Event(0, {0x12})
      .Escape(40, {})
      .EndOfTrack();
  const Bytes file = Smf(1, 96, {a, b});

  CoreHarness h;
  h.Choose(file);
  h.wf.OnUpdateButtonClicked();
  h.RunToEnd(10000);
  ASSERT_FALSE(h.view.ends.empty());

  PlayerState s;
  SmfReader r{s};
  FileCheck check{s, r};
  s.SMF = file;
  s.SmfSize = file.size();
  ASSERT_EQ(check.SmfPlaySet(), kCheckPlayable);
  std::vector<std::pair<SmfEvent, Bytes>> walked;
  EventWalk walk(s);
  ASSERT_EQ(walk.Walk([&](const SmfEvent& e) {
    if (e.WireBytes() == 0) return;
    Bytes wire;
    if (e.kind == EventKind::kChannel) {
      wire = {e.status, e.data1, e.data2};
      wire.resize(e.WireBytes());
    } else {
      wire.push_back(0xF0);
      wire.insert(wire.end(), s.SMF.begin() + e.dataOffset,
                  s.SMF.begin() + e.dataOffset + e.dataLength);
    }
    walked.emplace_back(e, wire);
  }),
            kCheckPlayable);
  std::stable_sort(walked.begin(), walked.end(),
                   [](const auto& x, const auto& y) { return x.first.tick < y.first.tick; });
  std::vector<Bytes> expected;
  for (const auto& w : walked) expected.push_back(w.second);
  EXPECT_EQ(h.midi.sent, expected);
}

}  // namespace
}  // namespace midiflash
