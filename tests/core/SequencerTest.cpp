// Tempo, reset, dispatch and the playback tick, driven with a clock the test moves.
#include <gtest/gtest.h>

#include "CoreFakes.h"
#include "UpdateWorkflow.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

constexpr double kPeriod = 128.0 / 44100.0;  // one timer period, about 2.9025 ms

struct RunFixture : ::testing::Test {
  FakeMidi midi;
  FakeView view;
  FakeChooser chooser;
  FakeFiles files;
  FakeClock clock;
  FakeTimer timer;
  UpdateWorkflow wf{midi, view, chooser, files, clock, timer, "/opt/midiflash"};
  PlayerState& s = wf.state();

  RunFixture() { wf.WindowDidLoad(); }
  void Choose(const Bytes& file, const std::string& path = "/data/u.dat") {
    files.Put(path, file);
    chooser.answer = path;
    wf.OnFileSelClick();
  }
  void Tick(double seconds) {
    clock.now += seconds;
    wf.SmfPlayProc();
  }
  // Ticks of one timer period until the run ends; returns how many it took.
  int RunToEnd(int limit = 100000) {
    int n = 0;
    while (view.ends.empty() && n < limit) {
      Tick(kPeriod);
      ++n;
    }
    return n;
  }
};

TEST(Tempo, CalcClockStepLimitsAndDerives) {
  struct Case {
    int16_t base, rel, play;
  } cases[] = {{120, 281, 400}, {120, -111, 10}, {120, -110, 10}, {120, 280, 400},
               {120, 0, 120},   {32767, 1, 10}};  // 32768 wraps to a negative tempo
  for (const Case& c : cases) {
    PlayerState s;
    SmfReader r{s};
    FakeMidi m;
    FakeFiles f;
    FakeClock k;
    FakeView v;
    FakeTimer t;
    Sequencer seq{s, r, m, f, k, v, t};
    s.SmfTempo = c.base;
    s.RelTempo = c.rel;
    s.SmfDivision = 960;
    seq.CalcClockStep();
    EXPECT_EQ(s.PlayTempo, c.play) << c.base << "+" << c.rel;
    EXPECT_EQ(static_cast<int16_t>(s.SmfTempo + s.RelTempo), c.play);
    EXPECT_EQ(s.TicksPTM, static_cast<uint32_t>(960 * c.play / 60000));
    EXPECT_EQ(s.TicksPTM_sub, static_cast<uint32_t>(960 * c.play % 60000));
  }
}

TEST_F(RunFixture, ResetSendsTheOpeningSysExAndLeavesTheRest) {
  TrackBuilder t0, t1;
  t0.SysEx(0, {0x41, 0x10, 0xF7})
      .Escape(0, {0x43, 0x12})
      .SysEx(0, {})
      .Meta(0, 0x01, {'x'})
      .SysEx(1, {0x7E})
      .EndOfTrack();
  t1.Event(0, {0xC5, 0x07}).SysEx(0, {0x55}).EndOfTrack(4);
  Choose(Smf(1, 480, {t0, t1}));
  EXPECT_EQ(view.location, s.cmessage.CLICK_UPDATE);
  EXPECT_TRUE(view.update);
  // Three System Exclusive messages at tick 0; the one at delta 1 and the channel message wait.
  EXPECT_EQ(midi.sent, (std::vector<Bytes>{{0xF0, 0x41, 0x10, 0xF7}, {0xF0, 0x43, 0x12}, {0xF0}}));
  EXPECT_EQ(s.sTrk[0].Sts, 0xF0u);
  EXPECT_EQ(s.sTrk[0].WaitClock, 1);
  EXPECT_EQ(s.nTotalClock, 0u);
  EXPECT_EQ(s.PlayTempo, 120);

  wf.OnUpdateButtonClicked();
  EXPECT_EQ(view.location, "Start");
  Tick(0.0001);  // worth less than one tick: only what is already due goes
  ASSERT_EQ(midi.sent.size(), 5u);
  EXPECT_EQ(midi.sent[3], (Bytes{0xC5, 0x07}));
  EXPECT_EQ(midi.sent[4], (Bytes{0xF0, 0x55}));
  Tick(kPeriod);
  ASSERT_EQ(midi.sent.size(), 6u);
  EXPECT_EQ(midi.sent[5], (Bytes{0xF0, 0x7E}));
}

}  // namespace
}  // namespace midiflash
