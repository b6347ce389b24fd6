// Tempo, reset, dispatch and the playback tick, driven with a clock the test moves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "CoreFakes.h"
#include "Pacing.h"
#include "UpdateWorkflow.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

constexpr double kPeriod = CoreHarness::kPeriod;

struct RunFixture : ::testing::Test, CoreHarness {
  PlayerState& s = wf.state();
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

TEST_F(RunFixture, TicksAreWholeAndDueEventsGoInFileAndTrackOrder) {
  TrackBuilder t0, t1, t2;
  t0.Event(4, {0x90, 1, 1}).Event(0, {0x90, 2, 2}).Event(0, {0x90, 3, 3}).EndOfTrack(100);
  t1.EndOfTrack(50);
  t2.Event(3, {0x91, 9, 9}).EndOfTrack(10);
  Choose(Smf(1, 480, {t0, t1, t2}));
  wf.OnUpdateButtonClicked();
  Tick(kPeriod);  // 480 x 0.0029025 / 0.5 = 2.79: two ticks, the fraction is dropped
  EXPECT_EQ(s.nTotalClock, 2u);
  EXPECT_EQ(s.sTrk[0].WaitClock, 2);
  EXPECT_TRUE(midi.sent.empty());
  Tick(kPeriod);  // tick 4: track 2's event (due at 3) and track 0's three events
  EXPECT_EQ(midi.sent,
            (std::vector<Bytes>{{0x90, 1, 1}, {0x90, 2, 2}, {0x90, 3, 3}, {0x91, 9, 9}}));
  EXPECT_EQ(s.sTrk[2].WaitClock, -1 + 10);  // lateness carries into the next wait
  EXPECT_EQ(view.location, "[    0m 00s] [ 00000004 / 00000104 ticks]");
  EXPECT_EQ(view.progress, 3.0);
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
  } cases[] = {{59.99, "[    0m 59s] [ 00057590 / 04000000 ticks]"},
               {60.0, "[    1m 00s] [ 00057599 / 04000000 ticks]"},
               {3725.5, "[   62m 05s] [ 03576479 / 04000000 ticks]"}};
  double elapsed = 0;
  for (const Case& c : cases) {
    Tick(c.at - elapsed);
    elapsed = c.at;
    EXPECT_EQ(view.location, c.text);
  }
  EXPECT_EQ(view.progress, 89.0);
  Tick(1000.0);  // far past the end: the position stops at the file's length
  EXPECT_EQ(s.nTotalClock, s.tTotalClock);
  EXPECT_EQ(view.locations.end()[-2], "[   78m 45s] [ 04000000 / 04000000 ticks]");
  EXPECT_EQ(view.location, "Updating is completed !!");
  EXPECT_EQ(view.progress, 0.0);
  EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
}

TEST_F(RunFixture, EndOfRunRestoresTheControls) {
  Choose(Header(1, 0, 480));  // no tracks: the first tick completes
  ASSERT_TRUE(view.update);
  wf.OnUpdateButtonClicked();
  EXPECT_FALSE(view.fileSel);
  EXPECT_FALSE(view.update);
  EXPECT_TRUE(view.cancel);
  EXPECT_FALSE(view.midiOut);
  Tick(0.001);
  EXPECT_EQ(view.location, "Updating is completed !!");
  EXPECT_EQ(view.fileName, s.cmessage.SELECT_FILE);
  EXPECT_TRUE(view.fileSel);
  EXPECT_FALSE(view.update);
  EXPECT_FALSE(view.cancel);
  EXPECT_TRUE(view.midiOut);
  EXPECT_EQ(view.progress, 0.0);
  EXPECT_FALSE(timer.running);
  // A tick queued before the stop repeats the end.
  Tick(0.001);
  EXPECT_EQ(view.ends.size(), 2u);
  EXPECT_EQ(view.location, "Updating is completed !!");
}

TEST_F(RunFixture, CancelThenQueuedTicksSendNothingAfterTheEnd) {
  TrackBuilder t;
  for (int i = 0; i < 50; ++i) t.Event(2, {0x90, static_cast<uint8_t>(i), 1});
  t.EndOfTrack();
  Choose(Smf(1, 480, {t}));
  wf.OnUpdateButtonClicked();
  Tick(kPeriod);
  const std::string shown = view.location;
  const size_t before = midi.sent.size();
  wf.OnCancelButtonClicked();
  EXPECT_EQ(s.cancelflag, 1);
  EXPECT_FALSE(timer.running);
  EXPECT_EQ(view.location, shown);  // with no tick queued the last text stays
  EXPECT_EQ(view.fileName, s.cmessage.SELECT_FILE);
  EXPECT_TRUE(view.fileSel);
  EXPECT_FALSE(view.cancel);
  // The first queued tick still plays what fell due, then ends the run.
  Tick(kPeriod);
  EXPECT_EQ(midi.sent.size(), before + 1);
  EXPECT_EQ(view.location, "Updating was canceled by user!!");
  EXPECT_EQ(view.progress, 0.0);
  ASSERT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCanceled});
  // Later queued ticks repeat the end but send nothing more.
  Tick(kPeriod);
  Tick(kPeriod);
  EXPECT_EQ(midi.sent.size(), before + 1);
  EXPECT_EQ(view.ends.size(), 3u);
  EXPECT_EQ(view.location, "Updating was canceled by user!!");
}

TEST_F(RunFixture, CancelAtAnyMomentEndsCleanly) {
  TrackBuilder t;
  for (int i = 0; i < 40; ++i) t.SysEx(3, Bytes(8, static_cast<uint8_t>(i)));
  t.EndOfTrack(3);
  const Bytes file = Smf(1, 480, {t});
  std::srand(7);
  for (int round = 0; round < 50; ++round) {
    midi.sent.clear();
    view.ends.clear();
    Choose(file);
    wf.OnUpdateButtonClicked();
    const int before_cancel = std::rand() % 70;
    for (int i = 0; i < before_cancel && view.ends.empty(); ++i) Tick(kPeriod);
    const bool completed = !view.ends.empty();
    wf.OnCancelButtonClicked();  // ignored when the run had already completed
    // Ticks the timer queued before it stopped: none, or a few.
    const int queued = std::rand() % 4;
    for (int i = 0; i < queued; ++i) Tick(kPeriod);
    EXPECT_FALSE(timer.running);
    EXPECT_TRUE(view.fileSel);
    EXPECT_FALSE(view.update);
    EXPECT_FALSE(view.cancel);
    EXPECT_TRUE(view.midiOut);
    EXPECT_EQ(view.fileName, s.cmessage.SELECT_FILE);
    // Whatever was sent is the file's messages, in order, from the first.
    for (size_t i = 0; i < midi.sent.size(); ++i) {
      EXPECT_EQ(midi.sent[i], Cat({{0xF0}, Bytes(8, static_cast<uint8_t>(i))}));
    }
    if (view.ends.empty()) {
      EXPECT_EQ(queued, 0);  // cancelled with nothing queued: the last text stays
      EXPECT_NE(view.location, s.cmessage.CANCELED);
      continue;
    }
    if (!completed) {
      EXPECT_EQ(view.location, s.cmessage.CANCELED) << round;
      EXPECT_EQ(view.ends.front(), RunOutcome::kCanceled);
    }
    EXPECT_EQ(view.progress, 0.0);
    const size_t sent_at_end = midi.sent.size();
    for (int i = 0; i < 3; ++i) Tick(kPeriod);  // even more late ticks never send
    EXPECT_EQ(midi.sent.size(), sent_at_end) << round;
  }
}

TEST_F(RunFixture, LowDivisionsStillAdvance) {
  // At division 96 one timer period is worth 0.56 ticks: time must build up, not be lost.
  TrackBuilder t;
  t.Event(96, {0x90, 0x3C, 0x64}).EndOfTrack(96);
  Choose(Smf(1, 96, {t}));
  wf.OnUpdateButtonClicked();
  const int ticks = RunToEnd();
  ASSERT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
  EXPECT_EQ(midi.sent.size(), 1u);
  // 192 ticks at 96 per half second is 1 s: 344.5 periods, give or take the dropped fractions.
  EXPECT_GE(ticks, 340);
  EXPECT_LE(ticks, 400);
}

TEST(Pacing, TheModelMatchesTheSequencer) {
  // Divisions around one tick a period (172/173), below it and above it.
  for (uint16_t division : {30, 96, 172, 173, 480, 960, 0x7FFF}) {
    CoreHarness h;
    TrackBuilder t;
    t.EndOfTrack(3000);
    h.Choose(Smf(1, division, {t}));
    h.wf.OnUpdateButtonClicked();
    const int periods = h.RunToEnd(2000000);
    EXPECT_NEAR(periods * kPeriod, PacedSeconds(3000, division), 1e-9) << division;
  }
  EXPECT_EQ(PacedSeconds(0, 0), 0.0);
  EXPECT_TRUE(std::isinf(PacedSeconds(1, 0)));
}

TEST_F(RunFixture, DispatchSendsSysExWithF0AndSkipsMetaEvents) {
  TrackBuilder t;
  t.Meta(0, 0x58, {0x06, 0x03, 0x18, 0x08})
      .Meta(0, 0x01, Bytes(10, 'a'))
      .Escape(1, {0x43, 0x12})
      .Event(0, {0xC0, 0x05})
      .Event(0, {0x07})  // running status after a meta event
      .EndOfTrack();
  Choose(Smf(1, 480, {t}));
  wf.OnUpdateButtonClicked();
  RunToEnd();
  EXPECT_EQ(midi.sent, (std::vector<Bytes>{{0xF0, 0x43, 0x12}, {0xC0, 0x05}, {0xC0, 0x07}}));
  EXPECT_EQ(s.Bpm_B, 6u);
  EXPECT_EQ(s.Bpm_M, 3u);
  EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
}

TEST_F(RunFixture, AFailedSendIsShownAndTheRunReportsIt) {
  TrackBuilder t;
  t.Event(0, {0x90, 1, 1}).Event(5, {0x90, 2, 2}).Event(5, {0x90, 3, 3}).EndOfTrack();
  Choose(Smf(1, 480, {t}));
  wf.OnUpdateButtonClicked();
  midi.status = -50;
  Tick(0.0001);
  EXPECT_EQ(view.locations.end()[-2], "Send error ! -50");  // then the position text
  midi.status = 0;
  Tick(0.006);
  EXPECT_EQ(view.locations.end()[-2], "");  // a good send clears it
  RunToEnd();
  EXPECT_EQ(midi.sent.size(), 3u);  // the run went on after the failure
  EXPECT_EQ(view.location, "Send error ! -50");
  EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kSendFailed});
}

TEST_F(RunFixture, FileThatChangesDuringTheRunEndsIt) {
  TrackBuilder t;
  for (int i = 0; i < 20; ++i) t.SysEx(4, Bytes(16, static_cast<uint8_t>(i)));
  t.EndOfTrack();
  const Bytes file = Smf(1, 480, {t});
  Bytes rewritten = file;  // same size, one data byte of a later SysEx changed
  rewritten[rewritten.size() - 10] ^= 1;
  for (int kind = 0; kind < 4; ++kind) {
    midi.sent.clear();
    view.ends.clear();
    Choose(file);
    wf.OnUpdateButtonClicked();
    Tick(0.005);
    const size_t sent = midi.sent.size();
    ASSERT_GT(sent, 0u);
    if (kind == 0) files.Remove("/data/u.dat");
    if (kind == 1) files.Put("/data/u.dat", Bytes(file.begin(), file.end() - 3));
    if (kind == 2) files.Put("/data/u.dat", Cat({file, {0}}));
    if (kind == 3) files.Put("/data/u.dat", rewritten);
    Tick(0.01);
    EXPECT_EQ(midi.sent.size(), sent) << kind;
    EXPECT_EQ(view.location, "Open file error !");
    EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kFileFailed});
    EXPECT_FALSE(timer.running);
    EXPECT_TRUE(view.fileSel);
    Tick(0.01);  // a queued tick repeats the end and sends nothing
    EXPECT_EQ(midi.sent.size(), sent);
    EXPECT_EQ(view.location, "Open file error !");
  }
}

TEST_F(RunFixture, UnchangedFileIsNotReadAgainForEveryEvent) {
  TrackBuilder t;
  for (int i = 0; i < 30; ++i) t.Event(1, {0x90, 1, 1});
  t.EndOfTrack();
  Choose(Smf(1, 480, {t}));
  const int reads = files.reads;
  wf.OnUpdateButtonClicked();
  RunToEnd();
  EXPECT_EQ(midi.sent.size(), 30u);
  EXPECT_EQ(files.reads, reads);
}

}  // namespace
}  // namespace midiflash
