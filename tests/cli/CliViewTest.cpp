// The command line's rendering of a run on the core's fakes: on a terminal the progress bar is
// redrawn in place, and every way a run ends leaves its text on a line of its own after it, with
// the exit status that goes with it.
#include <gtest/gtest.h>

#include <sstream>

#include "CliView.h"
#include "CoreFakes.h"
#include "PlayCommand.h"

namespace midiflash::testing {
namespace {

TEST(CliView, EachEndIsALineOfItsOwnWithItsExitStatus) {
  const struct {
    void (*act)(FakeParts&, UpdateWorkflow&);  // once the run has played a while
    const char* tail;
    int status;
  } cases[] = {
      {[](FakeParts&, UpdateWorkflow&) {}, "\nUpdating is completed !!\n", 0},
      {[](FakeParts& p, UpdateWorkflow&) { p.midi.deliveryError = -19; }, "\nSend error ! -19\n",
       3},
      {[](FakeParts& p, UpdateWorkflow&) { p.midi.warnings = 2; },
       "\nUpdating is completed !!\nWarning: delivery may be incomplete: the MIDI service may have "
       "lost messages 2 time(s)\n",
       5},
      {[](FakeParts& p, UpdateWorkflow&) { p.files.Remove("/d/u.dat"); }, "\nOpen file error !\n",
       4},
      {[](FakeParts&, UpdateWorkflow& wf) { wf.OnCancelButtonClicked(); },
       "\nUpdating was canceled by user!!\n", 130},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    FakeParts p;
    std::ostringstream out;
    CliView view(out, true);
    UpdateWorkflow wf(p.midi, view, p.chooser, p.files, p.clock, p.timer, "/");
    wf.WindowDidLoad();
    TrackBuilder t;
    for (int i = 0; i < 20; ++i) t.Event(100, {0x90, 1, 1});
    p.files.Put("/d/u.dat", Smf(1, 480, {t.EndOfTrack()}));
    p.chooser.answer = "/d/u.dat";
    wf.OnFileSelClick();
    wf.OnUpdateButtonClicked();
    for (int i = 0; wf.phase() != Phase::kEnded && i < 100; ++i) {
      if (i == 10) c.act(p, wf);
      p.clock.now += 0.1;
      wf.SmfPlayProc();
      view.Flush();
    }
    EXPECT_EQ(PlayExitStatus(wf.result()), c.status);
    EXPECT_NE(out.str().find("\r[    0m 00s] [ 00000096 / 00002000 ticks] [#"), std::string::npos);
    EXPECT_TRUE(out.str().ends_with(c.tail)) << out.str();
  }
}

}  // namespace
}  // namespace midiflash::testing
