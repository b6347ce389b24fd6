// Tempo, reset, dispatch and the playback tick, driven with a clock the test moves.
#include <gtest/gtest.h>

#include <cmath>

#include "CoreFakes.h"
#include "Pacing.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

struct RunFixture : ::testing::Test, CoreHarness {
  const PlayerState& s = wf.state();
};

TEST(Tempo, CalcClockStepKeepsTheTempoWithin10And400) {
  const struct {
    int16_t base, rel, play;
  } cases[] = {{120, 281, 400}, {120, -111, 10}, {120, -110, 10}, {120, 280, 400},
               {120, 0, 120},   {32767, 1, 10}};  // 32768 wraps to a negative tempo
  FakeParts p;
  PlayerState s;
  SmfReader r{s};
  Sequencer seq{s, r, p.midi, p.files, p.clock};
  for (const auto& c : cases) {
    s.SmfTempo = c.base;
    s.RelTempo = c.rel;
    seq.CalcClockStep();
    EXPECT_EQ(s.PlayTempo, c.play) << c.base << "+" << c.rel;
    EXPECT_EQ(static_cast<int16_t>(s.SmfTempo + s.RelTempo), c.play);
  }
}

TEST_F(RunFixture, ResetSendsTheOpeningSysExThenTicksWhatIsDueAndTheFileIsReadOnce) {
  TrackBuilder t0, t1;
  t0.SysEx(0, {0x41, 0x10, 0xF7}).Escape(0, {0x43, 0x12}).SysEx(0, {}).Meta(0, 0x01, {'x'});
  t0.SysEx(1, {0x7E}).EndOfTrack();
  // Running status goes on after a meta event.
  t1.Event(0, {0xC5, 0x07}).Meta(0, 0x58, {6, 3, 0x18, 8}).Event(0, {0x09}).SysEx(0, {0x55});
  for (int i = 0; i < 30; ++i) t1.Event(1, {0x90, 1, 1});
  Choose(Smf(1, 480, {t0, t1.EndOfTrack()}));
  const int reads = files.reads;
  EXPECT_EQ(view.location, "To start updating click [Update] button !");
  // Three System Exclusive messages at tick 0; the one at delta 1 and the channel messages wait.
  EXPECT_EQ(midi.sent, (std::vector<Bytes>{{0xF0, 0x41, 0x10, 0xF7}, {0xF0, 0x43, 0x12}, {0xF0}}));
  EXPECT_EQ(s.sTrk[0].WaitClock, 1);
  EXPECT_EQ(s.PlayTempo, 120);
  wf.OnUpdateButtonClicked();
  Tick(0.0001);  // worth less than one tick: only what is already due goes
  ASSERT_EQ(midi.sent.size(), 6u);
  EXPECT_EQ(std::vector<Bytes>(midi.sent.begin() + 3, midi.sent.end()),
            (std::vector<Bytes>{{0xC5, 0x07}, {0xC5, 0x09}, {0xF0, 0x55}}));
  Tick();
  ASSERT_EQ(midi.sent.size(), 9u);
  EXPECT_EQ(std::vector<Bytes>(midi.sent.begin() + 6, midi.sent.end()),
            (std::vector<Bytes>{{0xF0, 0x7E}, {0x90, 1, 1}, {0x90, 1, 1}}));
  RunToEnd();
  EXPECT_EQ(midi.sent.size(), 37u);
  EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
  EXPECT_EQ(files.reads, reads);  // an unchanged file is not read again for every event
}

TEST_F(RunFixture, PositionIsCappedAndTheStatusTextFormatted) {
  TrackBuilder t;
  t.EndOfTrack(4000000);  // a long silent track keeps the run going
  Choose(Smf(1, 480, {t}));
  wf.OnUpdateButtonClicked();
  // Each tick drops its fraction: 59.99 s is 57590.4 ticks, the next 0.01 s is 9.6.
  struct Case {
    double at;
    const char* text;
    int percent;
  } cases[] = {{59.99, "[    0m 59s] [ 00057590 / 04000000 ticks]", 1},
               {60.0, "[    1m 00s] [ 00057599 / 04000000 ticks]", 1},
               {3725.5, "[   62m 05s] [ 03576479 / 04000000 ticks]", 89},
               {4725.5, "[   78m 45s] [ 04000000 / 04000000 ticks]", 100}};
  for (const Case& c : cases) {
    Tick(c.at - (clock.now - 1000.0));
    const size_t back = c.percent == 100 ? 2 : 1;  // the last one ends the run, shown after it
    EXPECT_EQ(view.locations.end()[-back], c.text);
    EXPECT_EQ(view.progresses.end()[-back], c.percent);
  }
  EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
}

TEST(Pacing, TheModelMatchesTheSequencer) {
  // Divisions below one tick a period (time must build up, not be lost), around it (172/173)
  // and above it.
  for (uint16_t division : {30, 96, 172, 173, 480, 960, 0x7FFF}) {
    CoreHarness h;
    TrackBuilder t;
    t.Event(1500, {0x90, 1, 1}).EndOfTrack(1500);
    h.Choose(Smf(1, division, {t}));
    h.wf.OnUpdateButtonClicked();
    const int periods = h.RunToEnd(2000000);
    EXPECT_EQ(h.midi.sent.size(), 1u);
    EXPECT_NEAR(periods * kTickPeriodSeconds, PacedSeconds(3000, division), 1e-9) << division;
  }
  EXPECT_EQ(PacedSeconds(0, 0), 0.0);
  EXPECT_TRUE(std::isinf(PacedSeconds(1, 0)));
}

}  // namespace
}  // namespace midiflash
