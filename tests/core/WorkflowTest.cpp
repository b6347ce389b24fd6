// The workflow's states and transitions, as the front ends see them.
#include <gtest/gtest.h>

#include "CoreFakes.h"
#include "Log.h"
#include "UpdateWorkflow.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

struct WorkflowFixture : ::testing::Test, FakeParts {
  std::vector<std::string> log;
  ScopedLogCapture capture{[this](const std::string& l) { log.push_back(l); }};
  std::unique_ptr<UpdateWorkflow> wf;

  void Load() {
    wf = std::make_unique<UpdateWorkflow>(midi, view, chooser, files, clock, timer, "/opt/mf");
    wf->WindowDidLoad();
  }
  void Choose(const std::optional<std::string>& path) {
    chooser.answer = path;
    wf->OnFileSelClick();
  }
  static Bytes Playable() {
    TrackBuilder t;
    t.SysEx(0, {0x7D, 0x01}).Event(1, {0x90, 0x3C, 0x64}).EndOfTrack(1);
    return Smf(1, 480, {t});
  }
  void ExpectControls(bool fileSel, bool update, bool cancel, bool midiOut) {
    EXPECT_EQ(view.fileSel, fileSel);
    EXPECT_EQ(view.update, update);
    EXPECT_EQ(view.cancel, cancel);
    EXPECT_EQ(view.midiOut, midiOut);
  }
};

TEST_F(WorkflowFixture, LoadFillsTheListAndOpensTheFirst) {
  Load();
  EXPECT_EQ(view.fileName, "To select file click [File Select] button.");
  ExpectControls(true, false, false, true);
  EXPECT_EQ(view.items, (std::vector<std::string>{"Port A", "Port B", "Port C"}));
  EXPECT_EQ(view.selected, 0);
  EXPECT_EQ(midi.opened, std::vector<int64_t>{0});
  EXPECT_EQ(view.progressMin, 0);
  EXPECT_EQ(view.progressMax, 100);
  EXPECT_EQ(view.progress, 0);
  EXPECT_EQ(wf->state().PlayTempo, 120);

  midi.names.clear();
  midi.opened.clear();
  Load();
  EXPECT_TRUE(view.items.empty());
  EXPECT_EQ(view.selected, -1);
  EXPECT_TRUE(midi.opened.empty());
  EXPECT_EQ(wf->state().PlayTempo, 120);
}

TEST_F(WorkflowFixture, ChoosingFilesMovesBetweenReadyUnreadableAndRefused) {
  Load();
  files.Put("/d/a.dat", Playable());
  files.Put("/d/bad.dat", Header(2, 1, 480));
  Choose(std::nullopt);  // the dialog cancelled: nothing changes
  EXPECT_EQ(view.fileName, "To select file click [File Select] button.");
  EXPECT_EQ(log, (std::vector<std::string>{"OnFileSelClick", "curPath: /opt/mf"}));
  EXPECT_EQ(chooser.type, "dat");

  Choose("/d/a.dat");
  EXPECT_EQ(view.fileName, "<< a.dat >>");
  EXPECT_EQ(view.location, "To start updating click [Update] button !");
  ExpectControls(true, true, false, true);
  EXPECT_EQ(midi.sent, (std::vector<Bytes>{{0xF0, 0x7D, 0x01}}));  // the opening run

  Choose("/d/bad.dat");  // a refused file right after an accepted one
  EXPECT_EQ(view.fileName, "<< bad.dat >>");
  EXPECT_EQ(view.location, "Cant play this SMF !");
  EXPECT_FALSE(view.update);

  Choose("/d/missing.dat");
  EXPECT_EQ(view.fileName, "<< missing.dat >>");
  EXPECT_EQ(view.location, "Open file error !");
  EXPECT_FALSE(view.update);
  EXPECT_EQ(view.progress, 0);
  wf->OnUpdateButtonClicked();  // disabled: no run starts
  EXPECT_EQ(timer.starts, 0);
}

TEST_F(WorkflowFixture, ARunStartsOnceAndNeedsAFreshChoiceAfterwards) {
  Load();
  files.Put("/d/a.dat", Playable());
  Choose("/d/a.dat");
  log.clear();
  wf->OnUpdateButtonClicked();
  wf->OnUpdateButtonClicked();  // a second click while updating starts nothing
  EXPECT_EQ(timer.starts, 1);
  ExpectControls(false, false, true, false);
  EXPECT_EQ(view.location, "Start");
  EXPECT_EQ(view.fileName, "<< a.dat >>");
  Choose("/d/a.dat");  // File Select is disabled while updating
  EXPECT_EQ(view.location, "Start");
  wf->OnMidiOutSelChanged();  // so is the destination list
  EXPECT_EQ(midi.opened.size(), 1u);

  clock.now += 0.01;
  wf->SmfPlayProc();
  EXPECT_EQ(view.location, "Updating is completed !!");
  ExpectControls(true, false, false, true);
  wf->OnUpdateButtonClicked();
  EXPECT_EQ(timer.starts, 1);

  // The same file chosen again is read, checked and reset anew.
  midi.sent.clear();
  Choose("/d/a.dat");
  EXPECT_TRUE(view.update);
  EXPECT_EQ(midi.sent.size(), 1u);
  EXPECT_EQ(log, (std::vector<std::string>{"OnUpdateButtonClicked", "OnUpdateButtonClicked",
                                           "OnFileSelClick", "OnMidiOutSelChanged",
                                           "OnUpdateButtonClicked", "OnFileSelClick",
                                           "curPath: /opt/mf"}));
}

TEST_F(WorkflowFixture, OpeningSendsGoToTheDestinationSelectedThen) {
  struct RoutedMidi : FakeMidi {
    std::vector<std::pair<int64_t, Bytes>> routed;
    int64_t current = -1;
    void MidiOutDeviceOpen(int64_t i) override {
      FakeMidi::MidiOutDeviceOpen(i);
      current = i;
    }
    int32_t SendLongMessage(const uint8_t* d, uint64_t n) override {
      routed.emplace_back(current, Bytes(d, d + n));
      return 0;
    }
  } routed;
  wf = std::make_unique<UpdateWorkflow>(routed, view, chooser, files, clock, timer, "/opt/mf");
  wf->WindowDidLoad();
  view.selected = 2;
  wf->OnMidiOutSelChanged();
  files.Put("/d/a.dat", Playable());
  Choose("/d/a.dat");
  view.selected = 1;  // changing the destination afterwards sends nothing again
  wf->OnMidiOutSelChanged();
  ASSERT_EQ(routed.routed.size(), 1u);
  EXPECT_EQ(routed.routed[0].first, 2);
  EXPECT_EQ(routed.opened, (std::vector<int64_t>{0, 2, 1}));
}

}  // namespace
}  // namespace midiflash
