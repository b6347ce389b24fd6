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
  const std::pair<std::string, int> ends[] = {
      {"\nUpdating is completed !!\n", 0},
      {"\nSend error ! -19\n", 3},
      {"\nUpdating is completed !!\nWarning: delivery may be incomplete: the MIDI service may have "
       "lost messages 2 time(s)\n",
       5},
      {"\nOpen file error !\n", 4},
      {"\nUpdating was canceled by user!!\n", 130},
  };
  for (const auto& [tail, status] : ends) {
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
      if (i == 10 && status == 3) p.midi.deliveryError = -19;  // once the run has played a while
      if (i == 10 && status == 5) p.midi.warnings = 2;
      if (i == 10 && status == 4) p.files.Remove("/d/u.dat");
      if (i == 10 && status == 130) wf.OnCancelButtonClicked();
      p.clock.now += 0.1;
      wf.SmfPlayProc();
      view.Flush();
    }
    EXPECT_EQ(PlayExitStatus(wf.result()), status);
    EXPECT_NE(out.str().find("\r[    0m 00s] [ 00000096 / 00002000 ticks] [#."), std::string::npos);
    // The position reached is drawn again before the line that ends the run.
    EXPECT_GT(out.str().rfind('\r'), out.str().find('\r')) << out.str();
    EXPECT_TRUE(out.str().ends_with(tail)) << out.str();
  }
}

}  // namespace
}  // namespace midiflash::testing
