// The command line's rendering of a run on the core's fakes: every way a run ends leaves its text
// on a line of its own after the progress bar, and the exit status that goes with it.
#include <gtest/gtest.h>

#include <sstream>

#include "CliView.h"
#include "CoreFakes.h"
#include "PlayCommand.h"

namespace midiflash::testing {
namespace {

TEST(CliView, EachEndIsALineOfItsOwnWithItsExitStatus) {
  struct Case {
    const char* name;
    void (*act)(FakeParts&, UpdateWorkflow&);  // once the run has played a while
    const char* tail;
    int status;
  } cases[] = {
      {"completed", [](FakeParts&, UpdateWorkflow&) {}, "\nUpdating is completed !!\n", 0},
      {"send error", [](FakeParts& p, UpdateWorkflow&) { p.midi.deliveryError = -19; },
       "\nSend error ! -19\n", 3},
      {"hidden losses", [](FakeParts& p, UpdateWorkflow&) { p.midi.warnings = 2; },
       "\nUpdating is completed !!\n"
       "Warning: delivery may be incomplete: the MIDI service may have lost messages 2 time(s)\n",
       5},
      {"file gone", [](FakeParts& p, UpdateWorkflow&) { p.files.Remove("/d/u.dat"); },
       "\nOpen file error !\n", 4},
      {"cancelled", [](FakeParts&, UpdateWorkflow& wf) { wf.OnCancelButtonClicked(); },
       "\nUpdating was canceled by user!!\n", 130},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
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
    const std::string text = out.str();
    EXPECT_TRUE(text.starts_with("<< u.dat >>\nTo start updating click [Update] button !\nStart\n"))
        << text;
    EXPECT_NE(text.find("\r[    0m 00s] [ 00000096 / 00002000 ticks] [#"), std::string::npos);
    EXPECT_TRUE(text.ends_with(c.tail)) << text;
  }
}

}  // namespace
}  // namespace midiflash::testing
