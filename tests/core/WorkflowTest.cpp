// The workflow's phases and transitions as the front ends see them, and how a run ends: at the
// end of the file once the device has taken every byte, at the first failed delivery, on cancel.
#include <gtest/gtest.h>

#include <cstdlib>

#include "CoreFakes.h"
#include "Log.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

const Controls kIdle{true, false, false, true}, kReady{true, true, false, true},
    kRunning{false, false, true, false};

struct WorkflowTest : ::testing::Test, CoreHarness {
  std::vector<std::string> log;
  ScopedLogCapture capture{[this](const std::string& l) { log.push_back(l); }};

  Controls Shown() const { return {view.fileSel, view.update, view.cancel, view.midiOut}; }
  void ChoosePath(const std::optional<std::string>& path) {
    chooser.answer = path;
    wf.OnFileSelClick();
  }
};

// Ten notes, one per timer period after the first two (480 ticks a quarter note: a period is
// worth two ticks), then End of Track: the run ends on the tenth tick.
Bytes TenNotes() {
  TrackBuilder t;
  for (uint8_t i = 0; i < 10; ++i) t.Event(i == 0 ? 0 : 2, {0x90, i, 1});
  t.EndOfTrack(2);
  return Smf(1, 480, {t});
}

TEST_F(WorkflowTest, LoadFillsTheListAndOpensTheFirstOrNothing) {
  EXPECT_EQ(view.fileName, "To select file click [File Select] button.");
  EXPECT_EQ(Shown(), kIdle);
  EXPECT_EQ(wf.phase(), Phase::kNoFile);
  EXPECT_EQ(view.items, (std::vector<std::string>{"Port A", "Port B", "Port C"}));
  EXPECT_EQ(view.selected, 0);
  EXPECT_EQ(midi.opened, std::vector<int64_t>{0});
  EXPECT_EQ(view.progress, 0);
  EXPECT_EQ(wf.state().PlayTempo, 120);

  FakeParts none;
  none.midi.names.clear();
  UpdateWorkflow empty(none.midi, none.view, none.chooser, none.files, none.clock, none.timer, "");
  empty.WindowDidLoad();
  EXPECT_TRUE(none.view.items.empty());
  EXPECT_EQ(none.view.selected, -1);
  EXPECT_TRUE(none.midi.opened.empty());
}

TEST_F(WorkflowTest, ChoosingFilesMovesBetweenReadyUnreadableAndRefused) {
  files.Put("/d/a.dat", TenNotes());
  files.Put("/d/bad.dat", Header(2, 1, 480));
  ChoosePath(std::nullopt);  // the dialog cancelled: nothing changes
  EXPECT_EQ(view.fileName, "To select file click [File Select] button.");
  EXPECT_EQ(log, (std::vector<std::string>{"OnFileSelClick", "curPath: /opt/midiflash"}));
  EXPECT_EQ(chooser.type, "dat");
  struct Case {
    const char* path;
    Phase phase;
    const char* name;
    const char* text;
  } cases[] = {
      {"/d/a.dat", Phase::kReady, "<< a.dat >>", "To start updating click [Update] button !"},
      {"/d/bad.dat", Phase::kRefused, "<< bad.dat >>", "Cant play this SMF !"},
      {"/d/a.dat", Phase::kReady, "<< a.dat >>", "To start updating click [Update] button !"},
      {"/d/missing.dat", Phase::kUnreadable, "<< missing.dat >>", "Open file error !"}};
  for (const Case& c : cases) {
    view.progress = -1;
    ChoosePath(c.path);
    EXPECT_EQ(wf.phase(), c.phase) << c.path;
    EXPECT_EQ(view.fileName, c.name);
    EXPECT_EQ(view.location, c.text);
    EXPECT_EQ(Shown(), c.phase == Phase::kReady ? kReady : kIdle);
    EXPECT_EQ(view.progress, 0);
  }
  wf.OnUpdateButtonClicked();  // disabled: no run starts
  EXPECT_EQ(timer.starts, 0);
}

TEST_F(WorkflowTest, ARunStartsOnceIgnoresOtherActionsAndNeedsAFreshChoiceAfterwards) {
  Choose(TenNotes());
  log.clear();
  wf.OnUpdateButtonClicked();
  wf.OnUpdateButtonClicked();  // a second click while updating starts nothing
  EXPECT_EQ(timer.starts, 1);
  EXPECT_EQ(Shown(), kRunning);
  EXPECT_EQ(view.location, "Start");
  EXPECT_EQ(view.fileName, "<< u.dat >>");
  ChoosePath("/data/u.dat");  // File Select is disabled while updating
  wf.OnMidiOutSelChanged();   // so is the destination list
  EXPECT_EQ(view.location, "Start");
  EXPECT_EQ(midi.opened.size(), 1u);
  RunToEnd();
  wf.OnUpdateButtonClicked();
  EXPECT_EQ(timer.starts, 1);
  EXPECT_EQ(log, (std::vector<std::string>{"OnUpdateButtonClicked", "OnUpdateButtonClicked",
                                           "OnFileSelClick", "OnMidiOutSelChanged",
                                           "OnUpdateButtonClicked"}));
  // The same file chosen again is read, checked and reset anew.
  ChoosePath("/data/u.dat");
  EXPECT_EQ(wf.phase(), Phase::kReady);
}

TEST_F(WorkflowTest, OpeningSendsGoToTheDestinationSelectedThenAndAFailureBlocksTheRun) {
  TrackBuilder t;
  t.SysEx(0, {0x7D, 1}).SysEx(0, {0x7D, 2}).SysEx(0, {0x7D, 3}).Event(1, {0x90, 1, 1}).EndOfTrack();
  const Bytes file = Smf(1, 480, {t});
  view.selected = 2;
  wf.OnMidiOutSelChanged();
  midi.status = -19;  // the second opening message fails: the third is not sent
  midi.failFrom = 1;
  Choose(file);
  EXPECT_EQ(midi.sent.size(), 2u);
  EXPECT_EQ(wf.phase(), Phase::kNotOpened);
  EXPECT_EQ(view.location, "Send error ! -19");
  EXPECT_EQ(Shown(), kIdle);
  wf.OnUpdateButtonClicked();
  EXPECT_EQ(timer.starts, 0);

  // Another destination, and the file chosen again: the opening messages go out anew.
  midi.status = 0;
  view.selected = 1;
  wf.OnMidiOutSelChanged();
  midi.sent.clear();
  Choose(file);
  EXPECT_EQ(midi.sent.size(), 3u);
  EXPECT_EQ(wf.phase(), Phase::kReady);
  view.selected = 0;  // changing the destination afterwards sends nothing again
  wf.OnMidiOutSelChanged();
  EXPECT_EQ(midi.opened, (std::vector<int64_t>{0, 2, 1, 0}));
  EXPECT_EQ(midi.sent.size(), 3u);

  // A queueing backend reports the failure only later: Update then refuses to start, and so does
  // the next choice of the file until a destination is opened again.
  midi.deliveryError = -110;
  wf.OnUpdateButtonClicked();
  EXPECT_EQ(wf.phase(), Phase::kNotOpened);
  EXPECT_EQ(view.location, "Send error ! -110");
  EXPECT_EQ(timer.starts, 0);
  Choose(file);
  EXPECT_EQ(wf.phase(), Phase::kNotOpened);
  wf.OnMidiOutSelChanged();
  Choose(file);
  EXPECT_EQ(wf.phase(), Phase::kReady);
}

// What happens to the MIDI output before tick k of a run of TenNotes (k = 0: before Update).
using Act = void (*)(CoreHarness&, int k);

TEST(RunEnd, EachWayARunEnds) {
  struct Case {
    const char* name;
    Act act;
    RunOutcome outcome;
    const char* text;
    int endTick;
    size_t sent;
    uint64_t warnings = 0;
  } cases[] = {
      {"completed", [](CoreHarness&, int) {}, RunOutcome::kCompleted, "Updating is completed !!",
       10, 10},
      {"fifth send fails",
       [](CoreHarness& h, int k) {
         if (k == 1) h.midi.status = -50, h.midi.failFrom = 4;
       },
       RunOutcome::kSendFailed, "Send error ! -50", 4, 5},
      {"delivery fails between ticks",
       [](CoreHarness& h, int k) {
         if (k == 3) h.midi.deliveryError = -32;
       },
       RunOutcome::kSendFailed, "Send error ! -32", 3, 3},
      {"drains, then completes",
       [](CoreHarness& h, int k) {
         if (k == 9) h.midi.pending = 300;
         if (k == 11) {
           EXPECT_EQ(h.view.location, "Delivering the last 300 bytes to the device ...");
           EXPECT_EQ(h.wf.phase(), Phase::kDraining);
           EXPECT_TRUE(h.view.cancel);
           EXPECT_TRUE(h.timer.running);
           h.midi.pending = 12;
         }
         if (k == 12) {
           EXPECT_EQ(h.view.location, "Delivering the last 12 bytes to the device ...");
           h.midi.pending = 0;
         }
       },
       RunOutcome::kCompleted, "Updating is completed !!", 12, 10},
      {"device stops draining",
       [](CoreHarness& h, int k) {
         if (k == 9) h.midi.pending = 300;
         if (k == 12) h.midi.deliveryError = -110;
       },
       RunOutcome::kSendFailed, "Send error ! -110", 12, 10},
      {"hidden losses",
       [](CoreHarness& h, int k) {
         if (k == 0) h.midi.warnings = 3;  // before the run: not this run's
         if (k == 5) h.midi.warnings = 5;
       },
       RunOutcome::kCompleted, "Updating is completed !!", 10, 10, 2},
      {"cancel",
       [](CoreHarness& h, int k) {
         if (k == 4) h.midi.pending = 50, h.wf.OnCancelButtonClicked();
       },
       RunOutcome::kCanceled, "Updating was canceled by user!!", 4, 4},
      {"cancel while draining",
       [](CoreHarness& h, int k) {
         if (k == 9) h.midi.pending = 300;
         if (k == 11) h.wf.OnCancelButtonClicked();
       },
       RunOutcome::kCanceled, "Updating was canceled by user!!", 11, 10},
      {"cancel once drained, before the tick that would see it",
       [](CoreHarness& h, int k) {
         if (k == 9) h.midi.pending = 300;
         if (k == 11) h.midi.pending = 0, h.wf.OnCancelButtonClicked();
       },
       RunOutcome::kCompleted, "Updating is completed !!", 11, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreHarness h;
    h.Choose(TenNotes());
    c.act(h, 0);
    h.wf.OnUpdateButtonClicked();
    int k = 1;
    for (; h.view.ends.empty() && k < 100; ++k) {
      c.act(h, k);
      h.Tick();
    }
    EXPECT_EQ(k - 1, c.endTick);
    ASSERT_EQ(h.view.ends, std::vector<RunOutcome>{c.outcome});
    EXPECT_EQ(h.wf.result().outcome, c.outcome);
    EXPECT_EQ(h.view.result.sendError,
              c.outcome == RunOutcome::kSendFailed ? std::atoi(c.text + 13) : 0);
    EXPECT_EQ(h.view.result.deliveryWarnings, c.warnings);
    EXPECT_EQ(h.view.location, c.text);
    EXPECT_EQ(h.view.fileName, "To select file click [File Select] button.");
    EXPECT_EQ(h.view.progress, 0);
    EXPECT_EQ(h.wf.phase(), Phase::kEnded);
    EXPECT_EQ((Controls{h.view.fileSel, h.view.update, h.view.cancel, h.view.midiOut}), kIdle);
    EXPECT_FALSE(h.timer.running);
    EXPECT_EQ(h.midi.drops, std::string(c.name).rfind("cancel", 0) == 0 ? 1 : 0);
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

TEST_F(WorkflowTest, CancelWithNoTickQueuedKeepsTheLastTextAndAnyMomentEndsCleanly) {
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
    for (int i = 0; i < before_cancel && view.ends.empty(); ++i) Tick();
    const bool completed = !view.ends.empty();
    const std::string shown = view.location;
    const size_t sent_at_cancel = midi.sent.size();
    wf.OnCancelButtonClicked();  // ignored when the run had already completed
    EXPECT_EQ(view.fileName, "To select file click [File Select] button.");
    EXPECT_EQ(Shown(), kIdle);
    EXPECT_FALSE(timer.running);
    EXPECT_EQ(view.location, shown);     // until a queued tick runs, the last text stays
    const int queued = std::rand() % 4;  // ticks the timer queued before it stopped
    for (int i = 0; i < queued; ++i) Tick();
    EXPECT_EQ(midi.sent.size(), sent_at_cancel) << round;  // nothing is sent after a cancel
    for (size_t i = 0; i < midi.sent.size(); ++i) {
      EXPECT_EQ(midi.sent[i], Cat({{0xF0}, Bytes(8, static_cast<uint8_t>(i))}));
    }
    if (completed) {
      EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
    } else if (queued > 0) {
      EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCanceled});
      EXPECT_EQ(view.location, "Updating was canceled by user!!");
    } else {
      EXPECT_EQ(wf.phase(), Phase::kCancelled);
    }
  }
}

}  // namespace
}  // namespace midiflash
