// The workflow's phases and transitions as the front ends see them, and how a run ends: at the
// end of the file once the device has taken every byte, at the first failed delivery, on cancel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "CoreFakes.h"
#include "Log.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

const Controls kIdle{true, false, false, true}, kReady{true, true, false, true},
    kRunning{false, false, true, false};

using Names = std::vector<std::string>;
const std::string kSelect = "To select file click [File Select] button.";

struct WorkflowTest : ::testing::Test, CoreHarness {
  ScopedLogCapture quiet{[](const std::string&) {}};
};

// Ten notes, one per timer period after the first two (480 ticks a quarter note: a period is
// worth two ticks), then End of Track: the run ends on the tenth tick.
Bytes TenNotes() {
  TrackBuilder t;
  for (uint8_t i = 0; i < 10; ++i) t.Event(i == 0 ? 0 : 2, {0x90, i, 1});
  return Smf(1, 480, {t.EndOfTrack(2)});
}

TEST_F(WorkflowTest, LoadFillsTheListThenChoicesMoveBetweenReadyUnreadableAndRefused) {
  EXPECT_EQ(view.fileName, kSelect);
  EXPECT_EQ(view.shown, kIdle);
  EXPECT_EQ(wf.phase(), Phase::kNoFile);
  EXPECT_EQ(view.items, (Names{"Port A", "Port B", "Port C"}));
  EXPECT_EQ(view.selected, 0);
  EXPECT_EQ(midi.opened, std::vector<int64_t>{0});
  EXPECT_EQ(view.progress, 0);
  files.Put("/d/a.dat", TenNotes());
  files.Put("/d/bad.dat", Header(2, 1, 480));
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
  wf.OnUpdateButtonClicked();  // disabled: no run starts
  EXPECT_EQ(timer.starts, 0);
}

TEST_F(WorkflowTest, ARunStartsOnceIgnoresOtherActionsAndNeedsAFreshChoiceAfterwards) {
  Choose(TenNotes());
  wf.OnUpdateButtonClicked();
  wf.OnUpdateButtonClicked();  // a second click while updating starts nothing
  EXPECT_EQ(timer.starts, 1);
  chooser.answer = "/data/u.dat";
  wf.OnFileSelClick();       // File Select is disabled while updating
  wf.OnMidiOutSelChanged();  // so is the destination list
  EXPECT_EQ(view.location, "Start");
  EXPECT_EQ(midi.opened.size(), 1u);
  RunToEnd();
  wf.OnUpdateButtonClicked();
  EXPECT_EQ(timer.starts, 1);
  wf.OnFileSelClick();  // the same file chosen again is read, checked and reset anew
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
  EXPECT_EQ(view.shown, kIdle);
  // Another destination, and the file chosen again: the opening messages go out anew; changing
  // the destination afterwards sends nothing again.
  midi.status = 0;
  view.selected = 1;
  wf.OnMidiOutSelChanged();
  Choose(file);
  EXPECT_EQ(wf.phase(), Phase::kReady);
  view.selected = 0;
  wf.OnMidiOutSelChanged();
  EXPECT_EQ(midi.opened, (std::vector<int64_t>{0, 2, 1, 0}));
  EXPECT_EQ(midi.sent.size(), 5u);
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

TEST_F(WorkflowTest, TheListFollowsTheServiceAndTheChoiceFollowsItsIdentity) {
  view.selected = 1;  // Port B
  wf.OnMidiOutSelChanged();
  Choose(TenNotes());
  // The destinations the service lists now, what the list shows afterwards, which is selected,
  // whether Update is enabled.
  const struct {
    Names service, items;
    int64_t selected;
    bool update;
  } steps[] = {
      // clang-format off
      {{"Port 0", "Port A", "Port B", "Port C"}, {"Port 0", "Port A", "Port B", "Port C"}, 2, true},
      {{"Port 0", "Port C"}, {"Port 0", "Port C", "Port B (gone)"}, 2, false},
      {{"Port 0", "Port C", "Port D"}, {"Port 0", "Port C", "Port D", "Port B (gone)"}, 3, false},
      // Back, but without the file's opening messages: the file has to be chosen again.
      {{"Port B", "Port 0"}, {"Port B", "Port 0"}, 0, false},
      // clang-format on
  };
  for (const auto& step : steps) {
    midi.names = step.service;
    wf.OnDestinationsChanged();
    EXPECT_EQ(view.items, step.items);
    EXPECT_EQ(view.selected, step.selected);
    EXPECT_EQ(view.shown.update, step.update);
    EXPECT_EQ(wf.controls().update, step.update);
  }
  // Opened: B at load of the choice, then B again when it came back, at its new index.
  EXPECT_EQ(midi.opened, (std::vector<int64_t>{0, 1, 0}));
  EXPECT_EQ(wf.phase(), Phase::kNotOpened);
  EXPECT_EQ(view.location, "Send error ! -2");

  // Gone again; choosing the gone item opens nothing, choosing a listed one enables Update.
  midi.names = {"Port 0"};
  wf.OnDestinationsChanged();
  view.selected = 1;
  wf.OnMidiOutSelChanged();
  EXPECT_FALSE(view.shown.update);
  view.selected = 0;
  wf.OnMidiOutSelChanged();
  EXPECT_EQ(view.items, Names{"Port 0"});
  Choose(TenNotes());
  EXPECT_TRUE(view.shown.update);
  EXPECT_EQ(midi.opened, (std::vector<int64_t>{0, 1, 0, 0}));

  // An entry that went away after the list was shown is never replaced by what stands there now.
  midi.names = {"Port E"};
  view.selected = 0;
  wf.OnMidiOutSelChanged();
  EXPECT_EQ(midi.opened.back(), -1);  // nothing with Port 0's identity: no destination open
  EXPECT_EQ(view.items, (Names{"Port E", "Port 0 (gone)"}));
  EXPECT_FALSE(view.shown.update);

  // During a run the list stays as it is and follows once the run has ended.
  view.selected = 0;
  wf.OnMidiOutSelChanged();
  Choose(TenNotes());
  wf.OnUpdateButtonClicked();
  midi.names = {"Port F", "Port E"};
  wf.OnDestinationsChanged();
  EXPECT_EQ(view.items, Names{"Port E"});
  RunToEnd();
  EXPECT_EQ(view.items, (Names{"Port F", "Port E"}));
  EXPECT_EQ(view.selected, 1);
}

// Each way a run of TenNotes ends. Steps change the MIDI output before tick k (0: before
// Update); while bytes are pending after the last note the run must show them and stay cancellable.
TEST(RunEnd, EachWayARunEnds) {
  enum What { kPending, kDeliveryError, kFailSendsFrom, kWarnings, kCancel };
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
      {"completed", {}, RunOutcome::kCompleted, "Updating is completed !!", 10, 10, 0},
      {"fifth send fails", {{1, kFailSendsFrom, 4}},
       RunOutcome::kSendFailed, "Send error ! -50", 4, 5, 0},
      {"delivery fails between ticks", {{3, kDeliveryError, -32}},
       RunOutcome::kSendFailed, "Send error ! -32", 3, 3, 0},
      {"drains, then completes", {{9, kPending, 300}, {11, kPending, 12}, {12, kPending, 0}},
       RunOutcome::kCompleted, "Updating is completed !!", 12, 10, 0},
      {"device stops draining", {{9, kPending, 300}, {12, kDeliveryError, -110}},
       RunOutcome::kSendFailed, "Send error ! -110", 12, 10, 0},
      {"hidden losses", {{0, kWarnings, 3}, {5, kWarnings, 5}},
       RunOutcome::kCompleted, "Updating is completed !!", 10, 10, 2},
      {"cancel", {{4, kPending, 50}, {4, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 4, 4, 0},
      {"cancel while draining", {{9, kPending, 300}, {11, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 11, 10, 0},
      {"cancel once drained", {{9, kPending, 300}, {11, kPending, 0}, {11, kCancel, 0}},
       RunOutcome::kCompleted, "Updating is completed !!", 11, 10, 0},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreHarness h;
    h.Choose(TenNotes());
    int k = 0;
    const auto act = [&] {
      for (const auto& [tick, what, value] : c.steps) {
        if (tick != k) continue;
        if (what == kPending) h.midi.pending = value;
        if (what == kDeliveryError) h.midi.deliveryError = value;
        if (what == kFailSendsFrom) h.midi.status = -50, h.midi.failFrom = value;
        if (what == kWarnings) h.midi.warnings = value;
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

}  // namespace
}  // namespace midiflash
