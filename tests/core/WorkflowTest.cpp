// The workflow's phases and transitions as the front ends see them; the playback under it (the
// opening messages, the tick, on a clock the test moves); and how a run ends: at the end of the
// file once the device has taken every byte, at the first failed delivery, on cancel.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>

#include "CoreFakes.h"
#include "Log.h"
#include "Pacing.h"
#include "Receipt.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

// A destination is chosen: Identify is offered outside a run, and the report once one has ended.
const Controls kIdle{true, false, false, true, true}, kReady{true, true, false, true, true},
    kRunning{false, false, true, false}, kEnded{true, false, false, true, true, true},
    kAsking{false, false, false, false};

using Names = std::vector<std::string>;
const std::string kSelect = "To select file click [File Select] button.",
                  kClick = "To start updating click [Update] button !";

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
// Three System Exclusive messages at tick 0, a note at tick 1.
Bytes Opening() {
  TrackBuilder t;
  t.SysEx(0, {0x7D, 1}).SysEx(0, {0x7D, 2}).SysEx(0, {0x7D, 3}).Event(1, {0x90, 1, 1});
  return Smf(0, 480, {t.EndOfTrack(1)});
}

TEST_F(WorkflowTest, LoadThenChoicesMoveBetweenPhasesAndOnlyAnOpenedFileStartsOneRun) {
  EXPECT_EQ(view.fileName, kSelect);
  EXPECT_EQ(view.shown, kIdle);
  EXPECT_EQ(wf.phase(), Phase::kNoFile);
  EXPECT_EQ(view.items, (Names{"A", "B", "C"}));
  EXPECT_EQ(view.selected, 0);
  EXPECT_EQ(midi.opened, Names{"A"});
  EXPECT_EQ(view.progress, 0);
  files.Put("/d/a.dat", TenNotes());
  files.Put("/d/bad.dat", Header(2, 1, 480));
  files.Put("/d/zero.dat", Smf(0, 0, {TrackBuilder().EndOfTrack()}));
  files.Put("/d/open.dat", Opening());
  midi.status = -19;  // the second opening message fails: the third is not sent
  midi.failFrom = 1;
  const struct {
    const char* path;
    Phase phase;
    const char* text;
    const char* detail;
  } cases[] = {
      {"/d/a.dat", Phase::kReady, kClick.c_str(), ""},
      {"/d/bad.dat", Phase::kRefused, "Cant play this SMF !",
       "format 2 or higher: only formats 0 and 1 can be played (format 2)"},
      {"/d/a.dat", Phase::kReady, kClick.c_str(), ""},
      {"/d/open.dat", Phase::kNotOpened, "Send error ! -19",
       "No MIDI destination is open, or the MIDI service cannot be reached. Choose a destination."},
      {"/d/zero.dat", Phase::kRefused, "Cant play this SMF !",
       "the division is 0 ticks per quarter note, so playback would never move (division 0000 at "
       "byte offset 12)"},
      {"/d/missing.dat", Phase::kUnreadable, "Open file error !", "No such file or directory"}};
  for (const auto& c : cases) {
    view.progress = -1;
    wf.ChooseFile(c.path);
    EXPECT_EQ(wf.phase(), c.phase) << c.path;
    EXPECT_EQ(view.fileName, "<< " + std::string(c.path + 3) + " >>");
    EXPECT_EQ(view.location + "|" + view.detail, std::string(c.text) + "|" + c.detail);
    EXPECT_EQ(view.shown, c.phase == Phase::kReady ? kReady : kIdle);
    EXPECT_EQ(view.progress, 0);
  }
  EXPECT_EQ(midi.sent.size(), 2u);
  wf.Start();  // disabled: no run starts
  // A queueing backend reports a failure only later: Update then refuses to start. Choosing the
  // file again opens the destination again, which clears what the failure left.
  midi.status = 0;
  Choose(TenNotes());
  midi.deliveryError = -110;
  wf.Start();
  EXPECT_EQ(view.location, "Send error ! -110");
  EXPECT_EQ(view.detail, SendErrorAdvice(-110));
  Choose(Opening());
  EXPECT_EQ(wf.phase(), Phase::kReady);
  EXPECT_EQ(view.detail, "3 opening messages went to A.");
  EXPECT_EQ(timer.starts, 0);
  // A run starts once; a file or a destination chosen while it runs changes nothing.
  wf.Start();
  wf.Start();
  EXPECT_EQ(timer.starts, 1);
  wf.ChooseFile("/d/a.dat");
  wf.ChooseDestination("B");
  EXPECT_EQ(view.location, "Start");
  EXPECT_EQ(midi.opened, (Names{"A", "A"}));
  RunToEnd();
  wf.Start();
  EXPECT_EQ(timer.starts, 1);
  wf.ChooseFile("/d/a.dat");  // the same file chosen again is read, checked and offered anew
  EXPECT_EQ(wf.phase(), Phase::kReady);
}

TEST_F(WorkflowTest, TheOpeningMessagesAndTheSizeCheckFollowTheDestination) {
  Choose(Opening());
  EXPECT_EQ(midi.sent.size(), 3u);
  // Another destination gets them at once; choosing the one that has them sends nothing.
  wf.ChooseDestination("B");
  wf.ChooseDestination("B");
  EXPECT_EQ(midi.sent.size(), 6u);
  EXPECT_EQ(view.detail, "3 opening messages went to B.");
  // A destination that carries less than the largest message refuses the file before anything
  // is sent; one that carries it takes the file again.
  midi.largest = 2;
  wf.ChooseDestination("C");
  EXPECT_EQ(wf.phase(), Phase::kRefused);
  EXPECT_EQ(view.location, "Cant play this SMF !");
  EXPECT_EQ(view.detail,
            "a message is larger than the MIDI destination carries: track 0, tick 0, "
            "3 bytes; C carries at most 2 bytes");
  Choose(Opening());
  EXPECT_EQ(midi.sent.size(), 6u);
  midi.largest = 3;
  wf.ChooseDestination("A");
  EXPECT_EQ(wf.phase(), Phase::kReady);
  EXPECT_EQ(midi.sent.size(), 9u);
  EXPECT_EQ(midi.sent.back(), (Bytes{0xF0, 0x7D, 3}));
  // After a run the file must be chosen again before anything is sent anywhere.
  wf.Start();
  RunToEnd();
  wf.ChooseDestination("B");
  EXPECT_EQ(midi.sent.size(), 10u);
}

TEST(Destinations, TheLoadStepPrefersTheRememberedOneThenAnyButAPassThroughPort) {
  const struct {
    Names service;
    const char* preferred;
    UpdateWorkflow::Fallback fallback;
    int64_t selected;
  } cases[] = {
      {{"thru", "A", "B"}, "B", UpdateWorkflow::Fallback::kFirstDevice, 2},
      {{"thru", "A", "B"}, "gone", UpdateWorkflow::Fallback::kFirstDevice, 1},
      {{"thru", "A", "B"}, "", UpdateWorkflow::Fallback::kNone, -1},
      {{"thru"}, "", UpdateWorkflow::Fallback::kFirstDevice, -1},
  };
  for (const auto& c : cases) {
    FakeParts p;
    p.midi.names = c.service;
    UpdateWorkflow wf{p.midi, p.view, p.files, p.clock, p.timer};
    wf.Load(c.preferred, c.fallback);
    EXPECT_EQ(p.view.selected, c.selected) << c.preferred;
    EXPECT_EQ(p.midi.opened.size(), c.selected < 0 ? 0u : 1u);
    // A file with no destination waits for one; a device that appears is taken as at load.
    p.files.Put("/f.dat", Opening());
    wf.ChooseFile("/f.dat");
    if (c.selected >= 0) continue;
    EXPECT_EQ(p.view.location, "Choose the MIDI destination of the update.");
    EXPECT_FALSE(wf.controls().update);
    p.midi.names.push_back("D");
    wf.DestinationsChanged();
    EXPECT_EQ(wf.phase(),
              c.fallback == UpdateWorkflow::Fallback::kNone ? Phase::kNotOpened : Phase::kReady);
  }
}

TEST_F(WorkflowTest, TheListFollowsTheServiceAndTheChoiceFollowsItsIdentity) {
  wf.ChooseDestination("B");
  Choose(TenNotes());
  // What the service lists now (empty: unchanged) and whether it tells the workflow, the item the
  // user chooses ("": none), whether the file is chosen again; then what the list shows, which
  // item is selected, the phase and the status line.
  const std::string gone = "The MIDI destination went away.";
  const struct {
    Names service;
    bool told;
    std::string choose;
    bool file;
    Names items;
    int64_t selected;
    Phase phase;
    std::string text;
  } steps[] = {
      // clang-format off
      {{"0", "A", "B", "C"}, true, "", false, {"0", "A", "B", "C"}, 2, Phase::kReady, kClick},
      // Gone while nothing is sent: a notice, not a send error.
      {{"0", "C"}, true, "", false, {"0", "C", "B (gone)"}, 2, Phase::kNotOpened, gone},
      {{"0", "C", "D"}, true, "", false, {"0", "C", "D", "B (gone)"}, 3, Phase::kNotOpened, gone},
      // Back: opened anew, and the file's opening messages go to it again.
      {{"B", "0"}, true, "", false, {"B", "0"}, 0, Phase::kReady, kClick},
      // Gone again; the gone item chooses nothing, a listed one does.
      {{"0"}, true, "", false, {"0", "B (gone)"}, 1, Phase::kNotOpened, gone},
      {{}, false, "B", false, {"0", "B (gone)"}, 1, Phase::kNotOpened, gone},
      {{}, false, "0", false, {"0"}, 0, Phase::kReady, kClick},
      // An entry that went away after the list was shown is never replaced by what stands there.
      {{"E"}, false, "0", false, {"E", "0 (gone)"}, 1, Phase::kNotOpened, gone},
      {{}, false, "E", true, {"E"}, 0, Phase::kReady, kClick},
      // clang-format on
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.items.back());
    if (!step.service.empty()) midi.names = step.service;
    if (step.told) wf.DestinationsChanged();
    if (!step.choose.empty()) wf.ChooseDestination(step.choose);
    if (step.file) Choose(TenNotes());
    EXPECT_EQ(view.items, step.items);
    EXPECT_EQ(view.selected, step.selected);
    EXPECT_EQ(wf.phase(), step.phase);
    EXPECT_EQ(view.location, step.text);
  }
  EXPECT_EQ(midi.opened, (Names{"A", "B", "B", "0", "0", "E"}));
  // During a run the list stays as it is and follows once the run has ended.
  wf.Start();
  midi.names = {"F", "E"};
  wf.DestinationsChanged();
  EXPECT_EQ(view.items, Names{"E"});
  RunToEnd();
  EXPECT_EQ(view.items, (Names{"F", "E"}));
  EXPECT_EQ(view.selected, 1);
}

// Each way a run of TenNotes ends. Steps change the MIDI output before tick k (0: before Update);
// while bytes are pending after the last note the run must show them and stay cancellable.
TEST(RunEnd, EachWayARunEndsAndWhatItSaysOfIt) {
  enum What { kPending, kDeliveryError, kFailSendsFrom, kWarnings, kCancel, kFile, kBlind };
  using Step = std::tuple<int, What, int64_t>;  // before timer tick number, what, value
  struct Case {
    const char* name;
    std::vector<Step> steps;
    RunOutcome outcome;
    const char* text;
    int endTick;
    size_t sent;
    const char* facts;  // the last line of the detail
  } cases[] = {
      // clang-format off
      {"fifth send fails", {{1, kFailSendsFrom, 4}}, RunOutcome::kSendFailed,
       "Send error ! -50", 4, 5, "u.dat: stopped at tick 8 of 20, 40 %, 12 of 30 bytes sent"},
      {"delivery fails between ticks", {{3, kDeliveryError, -32}},
       RunOutcome::kSendFailed, "Send error ! -32", 3, 3, "stopped at tick 4 of 20, 20 %, 9 of"},
      {"drains, then completes", {{9, kPending, 300}, {11, kPending, 12}, {12, kPending, 0}},
       RunOutcome::kCompleted, "Updating is completed !!", 12, 10, ""},
      {"device stops draining", {{9, kPending, 300}, {12, kDeliveryError, -110}},
       RunOutcome::kSendFailed, "Send error ! -110", 12, 10, "tick 20 of 20, 100 %, 27 of 30"},
      {"completed, hidden losses", {{0, kWarnings, 3}, {5, kWarnings, 5}},
       RunOutcome::kCompleted, "Updating is completed !!", 10, 10,
       "Warning: delivery may be incomplete: the MIDI service may have lost messages 2 time(s)"},
      {"completed, losses unseen", {{0, kBlind, 0}}, RunOutcome::kCompleted,
       "Updating is completed !!", 10, 10, "does not tell the sender of messages it loses"},
      {"cancel", {{4, kPending, 50}, {4, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 4, 4, "tick 6 of 20, 30 %, 12 of"},
      {"cancel, nothing pending", {{4, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 4, 4, "12 of 30 bytes sent"},
      {"cancel while draining", {{9, kPending, 300}, {11, kCancel, 0}},
       RunOutcome::kCanceled, "Updating was canceled by user!!", 11, 10, "tick 20 of 20"},
      {"cancel once drained", {{9, kPending, 300}, {11, kPending, 0}, {11, kCancel, 0}},
       RunOutcome::kCompleted, "Updating is completed !!", 11, 10, ""},
      // The file goes away, or changes, even with its size kept: nothing more is read from it.
      {"file removed", {{4, kFile, 0}}, RunOutcome::kFileFailed, "Open file error !", 4, 4,
       "tick 8 of 20"},
      {"file cut", {{4, kFile, 1}}, RunOutcome::kFileFailed, "Open file error !", 4, 4, ""},
      {"file grown", {{2, kFile, 2}}, RunOutcome::kFileFailed, "Open file error !", 2, 2, ""},
      {"file rewritten", {{9, kFile, 3}}, RunOutcome::kFileFailed, "Open file error !", 9, 9, ""},
      // clang-format on
  };
  const Bytes file = TenNotes();
  Bytes rewritten = file;
  rewritten[file.size() - 5] ^= 1;  // the last note's velocity
  const Bytes changed[] = {{}, Bytes(file.begin(), file.end() - 3), Cat({file, {0}}), rewritten};
  ScopedLogCapture quiet{[](const std::string&) {}};
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
        if (what == kBlind) h.midi.seesEveryLoss = false;
        if (what == kFile && value == 0) h.files.files.erase("/data/u.dat");
        if (what == kFile && value > 0) h.files.Put("/data/u.dat", changed[value]);
        if (what == kCancel) {
          h.wf.Cancel();
          EXPECT_EQ(h.view.ends.size(), 1u);  // at once: no tick may follow a stopped timer
        }
      }
    };
    act();
    h.wf.Start();
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
    const RunResult& r = h.view.result;
    EXPECT_EQ(r.sendError, c.outcome == RunOutcome::kSendFailed ? std::atoi(c.text + 13) : 0);
    EXPECT_EQ(r.bytesTotal, 30u);
    EXPECT_EQ(r.bytesSent == 30u, c.outcome == RunOutcome::kCompleted);
    EXPECT_EQ(h.view.location, c.text);
    EXPECT_NE(h.view.detail.find(c.facts), std::string::npos) << h.view.detail;
    EXPECT_EQ(h.view.detail.find("stopped") != std::string::npos,
              c.outcome != RunOutcome::kCompleted);
    EXPECT_EQ(h.view.progress, 0);
    EXPECT_TRUE(h.view.shown == kEnded && !h.timer.running);
    EXPECT_EQ(h.midi.drops, std::string(c.name).starts_with("cancel") ? 1 : 0);
    // What went out is the file's notes from the first, and nothing follows the end.
    ASSERT_EQ(h.midi.sent.size(), c.sent);
    for (size_t i = 0; i < c.sent; ++i) EXPECT_EQ(h.midi.sent[i], (Bytes{0x90, uint8_t(i), 1}));
    for (int i = 0; i < 3; ++i) h.Tick(1.0);
    h.wf.Cancel();
    EXPECT_EQ(h.midi.sent.size(), c.sent);
    EXPECT_EQ(h.view.ends.size(), 1u);
    EXPECT_EQ(h.view.location, c.text);
  }
}

TEST_F(WorkflowTest, TheOpeningSendsTickZeroSysExThenTicksSendWhatIsDueAndTheFileIsReadOnce) {
  TrackBuilder t0, t1;
  t0.SysEx(0, {0x41, 0x10, 0xF7}).Escape(0, {0x43, 0x12}).SysEx(0, {}).Meta(0, 0x01, {'x'});
  t0.SysEx(1, {0x7E}).EndOfTrack();
  // Running status goes on after a meta event.
  t1.Event(0, {0xC5, 0x07}).Meta(0, 0x58, {6, 3, 0x18, 8}).Event(0, {0x09}).SysEx(0, {0x55});
  for (int i = 0; i < 30; ++i) t1.Event(1, {0x90, 1, 1});
  Choose(Smf(1, 480, {t0, t1.EndOfTrack()}));
  const int reads = files.reads;
  EXPECT_EQ(view.location, kClick);
  // Three System Exclusive messages at tick 0; the one at delta 1 and the channel messages wait.
  EXPECT_EQ(midi.sent, (std::vector<Bytes>{{0xF0, 0x41, 0x10, 0xF7}, {0xF0, 0x43, 0x12}, {0xF0}}));
  wf.Start();
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
  EXPECT_EQ(view.result.bytesSent, 4u + 3 + 1 + 2 + 2 + 2 + 2 + 30 * 3);
  EXPECT_EQ(files.reads, reads);  // an unchanged file is not read again
}

// A System Exclusive file sends nothing when chosen and is refused for a destination that cannot
// take its largest message. On Update the first message leaves at once; each later one waits
// until the output holds nothing, then for the gap from the first tick that saw it so (a run keeps
// the gap it started with). Times are exact binary fractions: 125 ms and steps of 1/64 s.
TEST_F(WorkflowTest, ASystemExclusiveFileSendsAMessageOnceThePreviousHasLeftAndTheGapPassed) {
  const Bytes a{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, b{0xF0, 0x43, 0x10, 0x4C, 0, 0, 0x7E, 0, 0xF7};
  midi.largest = 8;
  Choose(Cat({a, b, {0xF0, 0xF7}}), "/d/bank.syx");
  EXPECT_EQ(view.detail, CheckReason(kCheckTooLargeForDestination) +
                             std::string(": message 2 at byte offset 6, 9 bytes; A carries at "
                                         "most 8 bytes"));
  midi.largest = 9;
  wf.ChooseDestination("B");
  EXPECT_EQ(view.location + view.detail, kClick);
  wf.SetSysExGap(125);
  wf.Start();
  wf.SetSysExGap(0);
  const struct {
    uint64_t pending;  // before the tick
    int64_t at;        // the tick's time in 1/64 s
    size_t sent;
  } steps[] = {{0, 1, 1}, {6, 2, 1}, {0, 3, 1}, {0, 10, 1}, {0, 11, 2}, {0, 19, 2}, {0, 27, 3}};
  for (const auto& step : steps) {
    midi.pending = step.pending;
    Tick((step.at - (clock.now - 1000.0) * 64) / 64.0);
    EXPECT_EQ(midi.sent.size(), step.sent) << step.at;
  }
  EXPECT_EQ(midi.sent, (std::vector<Bytes>{a, b, {0xF0, 0xF7}}));
  EXPECT_EQ(view.locations.end()[-2], "[    0m 00s] [ message 3 of 3, 17 of 17 bytes]");
  EXPECT_EQ(view.locations.end()[-4], "[    0m 00s] [ message 2 of 3, 15 of 17 bytes]");
  EXPECT_EQ(view.progresses.end()[-4], 88);
  EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
  // A cancel tells where the run stopped in messages.
  Choose(Cat({a, b}), "/d/bank.syx");
  wf.Start();
  Tick();
  EXPECT_EQ(view.location, "[    0m 00s] [ message 1 of 2,  6 of 15 bytes]");
  wf.Cancel();
  EXPECT_EQ(view.detail, "bank.syx: stopped at message 1 of 2, 40 %, 6 of 15 bytes sent");
}

TEST_F(WorkflowTest, PositionIsCappedAndTheStatusTextFormatted) {
  TrackBuilder t;
  t.EndOfTrack(4000000);  // a long silent track keeps the run going
  Choose(Smf(1, 480, {t}));
  wf.Start();
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

// Identity Replies of the fake device: `device` 10, Roland, revision 1.0.`minor`.0.
Bytes Reply(uint8_t minor, uint8_t device = 0x10) {
  return {0xF0, 0x7E, device, 0x06, 0x02, 0x41, 0x19, 0x02, 0x33, 0x01, 1, 0, minor, 0, 0xF7};
}
const Bytes kRequest(kIdentityRequest.begin(), kIdentityRequest.end());

// Identify: one request to a device that can be heard, 2 s for its answer, the controls off
// meanwhile, then back where it was.
TEST(Identify, OneRequestAndTwoSecondsForTheAnswer) {
  const Bytes reply = Reply(2);
  const struct {
    const char* name;
    Names sources;
    std::vector<Bytes> received;  // half a second apart
    double end;                   // seconds to the end of the asking
    std::string shown;
  } cases[] = {
      {"in pieces",
       {"A"},
       {Bytes(reply.begin(), reply.begin() + 5), Bytes(reply.begin() + 5, reply.end())},
       0.5,
       "A: Roland (41), family 0x0119, model 0x00B3, software revision 1.0.2.0, device ID 0x10"},
      {"another device id answers as well", {"A"}, {Reply(2, 0x11)}, 0.0, "device ID 0x11"},
      {"no reply among other messages",
       {"A"},
       {{0x90, 1, 1}, Bytes(reply.begin() + 1, reply.end())},
       2.0,
       "A: no answer within 2 s"},
      {"nothing to hear it on",
       {"B"},
       {},
       0.0,
       "A: no port of this device to hear its answer from"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CoreHarness h;
    h.midi.sources = c.sources;
    h.Choose(TenNotes());
    const size_t before = h.midi.sent.size();
    h.wf.Identify();
    const bool heard = c.sources[0] == "A";
    EXPECT_EQ(h.midi.sent.size(), before + heard);
    EXPECT_EQ(h.wf.phase(), heard ? Phase::kIdentifying : Phase::kReady);
    EXPECT_EQ(h.view.shown, heard ? kAsking : kReady);
    for (const Bytes& b : c.received) {
      h.wf.Received(b.data(), b.size());
      if (h.wf.phase() == Phase::kIdentifying) h.Tick(0.5);
    }
    if (const double left = 1000.0 + c.end - 0.01 - h.clock.now; left > 0) h.Tick(left);
    EXPECT_EQ(h.wf.phase() == Phase::kIdentifying, c.end == 2.0);
    h.Tick(0.02);
    EXPECT_EQ(h.wf.phase(), Phase::kReady);
    EXPECT_EQ(h.view.shown, kReady);
    EXPECT_NE(h.view.identities.back().find(c.shown), std::string::npos)
        << h.view.identities.back();
    EXPECT_EQ(h.midi.sent.size(), before + heard);  // one request, however long the wait
    EXPECT_EQ(h.midi.listened, heard ? Names({"A", ""}) : Names{""});
    EXPECT_FALSE(h.timer.running);
  }
}

// Verified: the device is asked before the first opening message; after the run, from 2 s on,
// every 2 s, any destination that may be it, until one answers as the same device.
TEST_F(WorkflowTest,
       AVerifiedUpdateAsksBeforeTheOpeningMessagesAndAfterTheRunUntilTheDeviceAnswers) {
  wf.SetVerify(true, 9);
  Choose(Opening());
  EXPECT_EQ(midi.sent, std::vector<Bytes>{kRequest});
  EXPECT_EQ(wf.phase(), Phase::kIdentifying);
  const Bytes answer = Reply(0);
  wf.Received(answer.data(), answer.size());
  ASSERT_EQ(midi.sent.size(), 4u);  // the opening messages follow
  EXPECT_EQ(view.identities.back().substr(0, 3), "A: ");
  wf.Start();
  while (wf.running()) Tick();
  EXPECT_EQ(view.location, "Updating is completed !!");
  EXPECT_EQ(wf.phase(), Phase::kVerifying);
  EXPECT_EQ(view.identities.back(), "Waiting up to 9 s for A to answer again ...");
  EXPECT_EQ(view.shown, kRunning);
  const size_t sent = midi.sent.size();
  Tick(1.9);
  EXPECT_EQ(midi.sent.size(), sent);
  Tick(0.2);
  EXPECT_EQ(midi.sent.size(), sent + 1);
  // It restarted under the same identity, which the output saw go: it is opened anew.
  midi.deliveryError = -ENOENT;
  const size_t opened = midi.opened.size();
  Tick(2.0);
  EXPECT_EQ(midi.sent.size(), sent + 2);
  EXPECT_EQ(midi.opened.size(), opened + 1);
  // The device restarts as D: gone, it is not asked; back, it is asked at once. Another device
  // id, or the old revision from a device of another kind, is not the device.
  midi.names = {"B", "C"};
  Tick(2.0);
  EXPECT_EQ(midi.sent.size(), sent + 2);
  midi.names = midi.sources = {"B", "C", "D"};
  wf.DestinationsChanged();
  Tick(0.1);
  EXPECT_EQ(midi.sent.size(), sent + 3);
  EXPECT_EQ(midi.opened.back(), "D");
  EXPECT_EQ(midi.listened.back(), "D");
  for (const Bytes& b : {Reply(1, 0x11), Bytes{0xF0, 0x7E, 0x10, 0x06, 0x02, 0x42, 0x19, 0x02, 0x33,
                                               0x01, 1, 0, 1, 0, 0xF7}}) {
    wf.Received(b.data(), b.size());
  }
  EXPECT_EQ(wf.phase(), Phase::kVerifying);
  const Bytes updated = Reply(1);
  wf.Received(updated.data(), updated.size());
  EXPECT_EQ(wf.phase(), Phase::kEnded);
  EXPECT_EQ(view.ends, std::vector<RunOutcome>{RunOutcome::kCompleted});
  EXPECT_EQ(RevisionChangeText(view.result.before, view.result.after),
            "Software revision: 1.0.0.0 \u2192 1.0.1.0");
  EXPECT_EQ(PlayExitStatus(view.result), 0);
  EXPECT_EQ(wf.chosen()->id, "D");
  EXPECT_EQ(view.items[size_t(view.selected)], "D");
  EXPECT_FALSE(timer.running);
  // Its receipt, member by member as kept with the tests (a .txt, which the corpus passes over).
  std::ifstream golden(MIDIFLASH_TEST_DATA "/receipt-verified-run.txt");
  EXPECT_EQ(ReceiptJson(DescribeRun(wf, "midiflash-test")),
            std::string(std::istreambuf_iterator<char>(golden), {}));
}

TEST(Pacing, TheModelMatchesTheSequencer) {
  // Divisions below one tick a period (time must build up, not be lost), around it (172/173)
  // and above it.
  for (uint16_t division : {30, 96, 172, 173, 480, 960, 0x7FFF}) {
    CoreHarness h;
    TrackBuilder t;
    t.Event(1500, {0x90, 1, 1}).EndOfTrack(1500);
    h.Choose(Smf(1, division, {t}));
    h.wf.Start();
    const int periods = h.RunToEnd(2000000);
    EXPECT_EQ(h.midi.sent.size(), 1u);
    EXPECT_NEAR(periods * kTickPeriodSeconds, PacedSeconds(3000, division), 1e-9) << division;
  }
  EXPECT_EQ(PacedSeconds(0, 96), 0.0);
}

}  // namespace
}  // namespace midiflash
