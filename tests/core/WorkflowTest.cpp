// The workflow's phases and transitions as the front ends see them; the sequencer under it (tempo,
// reset, dispatch and the playback tick, on a clock the test moves); and how a run ends: at the
// end of the file once the device has taken every byte, at the first failed delivery, on cancel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <tuple>

#include "CoreFakes.h"
#include "Log.h"
#include "Pacing.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

const Controls kIdle{true, false, false, true}, kReady{true, true, false, true},
    kRunning{false, false, true, false};

using Names = std::vector<std::string>;
const std::string kSelect = "To select file click [File Select] button.";

struct WorkflowTest : ::testing::Test, CoreHarness {
  ScopedLogCapture quiet{[](const std::string&) {}};
  const PlayerState& s = wf.state();
};

// Ten notes, one per timer period after the first two (480 ticks a quarter note: a period is
// worth two ticks), then End of Track: the run ends on the tenth tick.
Bytes TenNotes() {
  TrackBuilder t;
  for (uint8_t i = 0; i < 10; ++i) t.Event(i == 0 ? 0 : 2, {0x90, i, 1});
  return Smf(1, 480, {t.EndOfTrack(2)});
}

TEST_F(WorkflowTest, LoadThenChoicesMoveBetweenPhasesAndOnlyAnOpenedFileStartsOneRun) {
  EXPECT_EQ(view.fileName, kSelect);
  EXPECT_EQ(view.shown, kIdle);
  EXPECT_EQ(wf.phase(), Phase::kNoFile);
  EXPECT_EQ(view.items, (Names{"A", "B", "C"}));
  EXPECT_EQ(view.selected, 0);
  EXPECT_EQ(midi.opened, std::vector<int64_t>{0});
  EXPECT_EQ(view.progress, 0);
  TrackBuilder opening;
  opening.SysEx(0, {0x7D, 1}).SysEx(0, {0x7D, 2}).SysEx(0, {0x7D, 3}).EndOfTrack(1);
  files.Put("/d/a.dat", TenNotes());
  files.Put("/d/bad.dat", Header(2, 1, 480));
  files.Put("/d/open.dat", Smf(1, 480, {opening}));
  midi.status = -19;  // the second opening message fails: the third is not sent
  midi.failFrom = 1;
  wf.OnFileSelClick();  // the dialog cancelled: nothing changes
  EXPECT_EQ(view.fileName, kSelect);
  const struct {
    const char* path;
    Phase phase;
    const char* name;
    const char* text;
  } cases[] = {
      {"/d/a.dat", Phase::kReady, "<< a.dat >>", "To start updating click [Update] button !"},
      {"/d/bad.dat", Phase::kRefused, "<< bad.dat >>", "Cant play this SMF !"},
      {"/d/a.dat", Phase::kReady, "<< a.dat >>", "To start updating click [Update] button !"},
      {"/d/open.dat", Phase::kNotOpened, "<< open.dat >>", "Send error ! -19"},
      {"/d/missing.dat", Phase::kUnreadable, "<< missing.dat >>", "Open file error !"}};
  for (const auto& c : cases) {
    view.progress = -1;
    chooser.answer = c.path;
    wf.OnFileSelClick();
    EXPECT_EQ(wf.phase(), c.phase) << c.path;
    EXPECT_EQ(view.fileName + view.location, std::string(c.name) + c.text);
    EXPECT_EQ(view.shown, c.phase == Phase::kReady ? kReady : kIdle);
    EXPECT_EQ(view.progress, 0);
  }
  EXPECT_EQ(midi.sent.size(), 2u);
  wf.OnUpdateButtonClicked();  // disabled: no run starts
  // A queueing backend reports a failure only later: Update then refuses to start, and so does
  // the next choice of the file until a destination is opened again.
  midi.status = 0;
  Choose(TenNotes());
  midi.deliveryError = -110;
  wf.OnUpdateButtonClicked();
  EXPECT_EQ(view.location, "Send error ! -110");
  Choose(TenNotes());
  EXPECT_EQ(wf.phase(), Phase::kNotOpened);
  EXPECT_EQ(timer.starts, 0);
  wf.OnMidiOutSelChanged();
  // A run starts once; File Select and the list are disabled while it runs.
  Choose(TenNotes());
  wf.OnUpdateButtonClicked();
  wf.OnUpdateButtonClicked();
  EXPECT_EQ(timer.starts, 1);
  wf.OnFileSelClick();
  wf.OnMidiOutSelChanged();
  EXPECT_EQ(view.location, "Start");
  EXPECT_EQ(midi.opened.size(), 2u);
  RunToEnd();
  wf.OnUpdateButtonClicked();
  EXPECT_EQ(timer.starts, 1);
  wf.OnFileSelClick();  // the same file chosen again is read, checked and reset anew
  EXPECT_EQ(wf.phase(), Phase::kReady);
}

TEST_F(WorkflowTest, TheListFollowsTheServiceAndTheChoiceFollowsItsIdentity) {
  view.selected = 1;  // B
  wf.OnMidiOutSelChanged();
  Choose(TenNotes());
  // What the service lists now (empty: unchanged) and whether it tells the workflow, the item the
  // user selects (-1: none), whether the file is chosen again; then what the list shows, which
  // item is selected, whether Update is enabled, the phase.
  const struct {
    Names service;
    bool told;
    int64_t select;
    bool file;
    Names items;
    int64_t selected;
    bool update;
    Phase phase;
  } steps[] = {
      // clang-format off
      {{"0", "A", "B", "C"}, true, -1, false, {"0", "A", "B", "C"}, 2, true, Phase::kReady},
      {{"0", "C"}, true, -1, false, {"0", "C", "B (gone)"}, 2, false, Phase::kNotOpened},
      {{"0", "C", "D"}, true, -1, false, {"0", "C", "D", "B (gone)"}, 3, false, Phase::kNotOpened},
      // Back, but without the file's opening messages: the file has to be chosen again.
      {{"B", "0"}, true, -1, false, {"B", "0"}, 0, false, Phase::kNotOpened},
      // Gone again; the gone item opens nothing, a listed one does.
      {{"0"}, true, -1, false, {"0", "B (gone)"}, 1, false, Phase::kNotOpened},
      {{}, false, 1, false, {"0", "B (gone)"}, 1, false, Phase::kNotOpened},
      {{}, false, 0, false, {"0"}, 0, false, Phase::kNotOpened},
      {{}, false, -1, true, {"0"}, 0, true, Phase::kReady},
      // An entry that went away after the list was shown is never replaced by what stands there.
      {{"E"}, false, 0, false, {"E", "0 (gone)"}, 1, false, Phase::kNotOpened},
      {{}, false, 0, true, {"E"}, 0, true, Phase::kReady},
      // clang-format on
  };
  for (const auto& step : steps) {
    if (!step.service.empty()) midi.names = step.service;
    if (step.told) wf.OnDestinationsChanged();
    if (step.select >= 0) view.selected = step.select, wf.OnMidiOutSelChanged();
    if (step.file) Choose(TenNotes());
    EXPECT_EQ(view.items, step.items);
    EXPECT_EQ(view.selected, step.selected);
    EXPECT_EQ(view.shown.update, step.update);
    EXPECT_EQ(wf.controls().update, step.update);
    EXPECT_EQ(wf.phase(), step.phase);
  }
  // B when chosen and again when it came back at its new index; none for 0 among E.
  EXPECT_EQ(midi.opened, (std::vector<int64_t>{0, 1, 0, 0, -1, 0}));
  // During a run the list stays as it is and follows once the run has ended.
  wf.OnUpdateButtonClicked();
  midi.names = {"F", "E"};
  wf.OnDestinationsChanged();
  EXPECT_EQ(view.items, Names{"E"});
  RunToEnd();
  EXPECT_EQ(view.items, (Names{"F", "E"}));
  EXPECT_EQ(view.selected, 1);
}

// Each way a run of TenNotes ends. Steps change the MIDI output before tick k (0: before
// Update); while bytes are pending after the last note the run must show them and stay cancellable.
TEST(RunEnd, EachWayARunEnds) {
  enum What { kPending, kDeliveryError, kFailSendsFrom, kWarnings, kCancel, kFile };
  using Step = std::tuple<int, What, int64_t>;  // before timer tick number, what, value
  struct Case {
    const char* name;
    std::vector<Step> steps;
    RunOutcome outcome;
    const char* text;
    int endTick;
    size_t sent;
    uint64_t warnings;
  } cases[] = {
      // clang-format off
      {"fifth send fails", {{1, kFailSendsFrom, 4}},
       RunOutcome::kSendFailed, "Send error ! -50", 4, 5, 0},
      {"delivery fails between ticks", {{3, kDeliveryError, -32}},
       RunOutcome::kSendFailed, "Send error ! -32", 3, 3, 0},
      {"drains, then completes", {{9, kPending, 300}, {11, kPending, 12}, {12, kPending, 0}},
       RunOutcome::kCompleted, "Updating is completed !!", 12, 10, 0},
      {"device stops draining", {{9, kPending, 300}, {12, kDeliveryError, -110}},
       RunOutcome::kSendFailed, "Send error ! -110", 12, 10, 0},
      {"completed, hidden losses", {{0, kWarnings, 3}, {5, kWarnings, 5}},
       RunOutcome::kCompleted, "Updating is completed !!", 10, 10, 2},
      {"cancel", {{4, kPending, 50}, {4, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 4, 4, 0},
      {"cancel, nothing pending", {{4, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 4, 4, 0},
      {"cancel while draining", {{9, kPending, 300}, {11, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 11, 10, 0},
      {"cancel once drained", {{9, kPending, 300}, {11, kPending, 0}, {11, kCancel, 0}},
       RunOutcome::kCompleted, "Updating is completed !!", 11, 10, 0},
      // The file goes away, or changes, even with its size kept: nothing more is read from it.
      {"file removed", {{4, kFile, 0}}, RunOutcome::kFileFailed, "Open file error !", 4, 4, 0},
      {"file cut", {{4, kFile, 1}}, RunOutcome::kFileFailed, "Open file error !", 4, 4, 0},
      {"file grown", {{2, kFile, 2}}, RunOutcome::kFileFailed, "Open file error !", 2, 2, 0},
      {"file rewritten", {{9, kFile, 3}}, RunOutcome::kFileFailed, "Open file error !", 9, 9, 0},
      // clang-format on
  };
  const Bytes file = TenNotes();
  Bytes rewritten = file;
  rewritten[file.size() - 5] ^= 1;  // the last note's velocity
  const Bytes changed[] = {{}, Bytes(file.begin(), file.end() - 3), Cat({file, {0}}), rewritten};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreHarness h;
    h.Choose(file);
    int k = 0;
    const auto act = [&] {
      for (const auto& [tick, what, value] : c.steps) {
        if (tick != k) continue;
        if (what == kPending) h.midi.pending = value;
        if (what == kDeliveryError) h.midi.deliveryError = value;
        if (what == kFailSendsFrom) h.midi.status = -50, h.midi.failFrom = value;
        if (what == kWarnings) h.midi.warnings = value;
        if (what == kFile && value == 0) h.files.Remove("/data/u.dat");
        if (what == kFile && value > 0) h.files.Put("/data/u.dat", changed[value]);
        if (what == kCancel) {
          h.wf.OnCancelButtonClicked();
          EXPECT_EQ(h.view.ends.size(), 1u);  // at once: no tick may follow a stopped timer
        }
      }
    };
    act();
    h.wf.OnUpdateButtonClicked();
    for (k = 1; h.view.ends.empty() && k < 100; ++k) {
      act();
      h.Tick();
      if (h.wf.phase() != Phase::kDraining) continue;
      EXPECT_EQ(h.view.location, DrainingText(h.midi.pending));
      EXPECT_EQ(h.midi.sent.size(), 10u);
      EXPECT_TRUE(h.view.shown == kRunning && h.timer.running);
    }
    EXPECT_EQ(k - 1, c.endTick);
    ASSERT_EQ(h.view.ends, std::vector<RunOutcome>{c.outcome});
    EXPECT_EQ(h.view.result.sendError,
              c.outcome == RunOutcome::kSendFailed ? std::atoi(c.text + 13) : 0);
    EXPECT_EQ(h.view.result.deliveryWarnings, c.warnings);
    EXPECT_EQ(h.view.location, c.text);
    EXPECT_EQ(h.view.progress, 0);
    EXPECT_TRUE(h.view.shown == kIdle && !h.timer.running);
    EXPECT_EQ(h.midi.drops, std::string(c.name).starts_with("cancel") ? 1 : 0);
    // What went out is the file's notes from the first, and nothing follows the end.
    ASSERT_EQ(h.midi.sent.size(), c.sent);
    for (size_t i = 0; i < c.sent; ++i) EXPECT_EQ(h.midi.sent[i], (Bytes{0x90, uint8_t(i), 1}));
    for (int i = 0; i < 3; ++i) h.Tick(1.0);
    h.wf.OnCancelButtonClicked();
    EXPECT_EQ(h.midi.sent.size(), c.sent);
    EXPECT_EQ(h.view.ends.size(), 1u);
    EXPECT_EQ(h.view.location, c.text);
  }
}

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

TEST_F(WorkflowTest, ResetSendsTheOpeningSysExThenTicksWhatIsDueAndTheFileIsReadOnce) {
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

TEST_F(WorkflowTest, PositionIsCappedAndTheStatusTextFormatted) {
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
