// Whole updates through the real window, MIDI output and timer, to recording clients on a private
// JACK server whose destinations come and go. Each kind of thing the window shows and each control
// is checked once on the way; what the workflow decides is tested with the core.
#include <QElapsedTimer>
#include <QProgressBar>
#include <QRegularExpression>
#include <cerrno>

#include "JackServer.h"
#include "MidiTestHelpers.h"
#include "RecordingClient.h"
#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using Names = std::vector<std::string>;

// Runs the event loop until `done` holds; returns the milliseconds taken, or -1 after `ms`.
qint64 Within(const std::function<bool()>& done, qint64 ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return -1;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return clock.elapsed();
}

TEST(JackRunTest, TheListFollowsTheServerRunsCompleteInRealTimeOrEndAtACancelOrAnUnplug) {
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  ScopedEnv api("MIDIFLASH_MIDI_API", "jack");
  RecordingClient first("first"), second("second");
  ASSERT_TRUE(first.ok() && second.ok());
  // 1440 ticks at 480 a quarter note: 1.5 s at 120 bpm. The System Exclusive goes out when the file
  // is chosen, the notes during the run.
  std::vector<Bytes> expected = {{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0xF7}};
  TrackBuilder track, notes;
  track.SysEx(0, Bytes(expected[0].begin() + 1, expected[0].end()));
  for (uint8_t i = 0; i < 12; ++i) {
    track.Event(i == 0 ? 0 : 60, expected.emplace_back(Bytes{0x90, uint8_t(60 + i), 0x40}));
    track.Event(60, expected.emplace_back(Bytes{0x80, uint8_t(60 + i), 0x00}));
  }
  for (uint8_t i = 0; i < 64; ++i) notes.Event(i == 0 ? 0 : 120, {0x90, i, 0x40});  // 8 s
  const Bytes run = Smf(0, 480, {track.EndOfTrack(0)}),
              longRun = Smf(0, 480, {notes.EndOfTrack(0)});

  WindowDriver w;
  QWidget* window = w.wc->window();
  int ended = 0, asked = 0;
  bool answer = false;
  QObject::connect(w.wc.get(), &MainWindowController::runEnded, [&] { ++ended; });
  w.wc->SetStopQuestion([&] { return ++asked, answer; });
  const auto shows = [&](Names want, int selected) {
    return
        [&, want, selected] { return w.Items() == want && w.List()->currentIndex() == selected; };
  };
  const auto controlsShown = [&] { return w.Enabled() == w.wc->workflow().controls(); };
  // Starts the 8 s file; true once `recorder` has `n` messages more.
  const auto playLong = [&](RecordingClient& recorder, size_t n) {
    const size_t target = recorder.Count() + n;
    w.Choose("long.dat", longRun);
    w.Click("Update");
    return Within([&] { return recorder.Count() >= target; }, 5000) >= 0;
  };
  // Whether nothing more arrives once what was on its way has come.
  const auto staysSilent = [&](RecordingClient& recorder) {
    Within([] { return false; }, 250);
    const size_t was = recorder.Count();
    return Within([&] { return recorder.Count() > was; }, 400) < 0;
  };
  ASSERT_EQ(w.Items(), (Names{"first:input", "second:input"}));
  QTest::keyClick(w.List(), Qt::Key_Down);
  RecordingClient third("third");
  EXPECT_GE(Within(shows({"first:input", "second:input", "third:input"}, 1), 500), 0);

  w.Choose("run.dat", run);
  EXPECT_EQ(w.Text("FileNameBox"), "<< run.dat >>");
  EXPECT_TRUE(controlsShown());
  ASSERT_TRUE(second.WaitForCount(1, std::chrono::seconds(2)));
  w.Click("Update");
  const qint64 took = Within([&] { return ended == 1; }, 15000);
  ASSERT_GE(took, 0) << "the run did not end";
  EXPECT_GE(took, 1400);  // played in real time, not as fast as it could be sent
  EXPECT_EQ(w.Text("LocationBox"), "Updating is completed !!");
  ASSERT_TRUE(second.WaitForCount(expected.size(), std::chrono::seconds(2))) << second.Count();
  Within([] { return false; }, 50);
  EXPECT_EQ(second.Overflows(), 0u);
  std::vector<Bytes> got;
  for (const auto& m : second.Messages()) got.push_back(m.bytes);
  EXPECT_EQ(got, expected);

  // During a run: the position and progress move, closing asks (No: the run goes on), and Cancel
  // stops the notes at once.
  ASSERT_TRUE(playLong(second, 4));
  static const QRegularExpression kPosition(R"(^\[ {4}0m \d\ds\] \[ \d{8} / \d{8} ticks\]$)");
  EXPECT_TRUE(kPosition.match(QString::fromStdString(w.Text("LocationBox"))).hasMatch())
      << w.Text("LocationBox");
  EXPECT_GT(w.Find<QProgressBar>("Progress")->value(), 0);
  EXPECT_TRUE(controlsShown());
  EXPECT_FALSE(window->close());
  EXPECT_EQ(asked, 1);
  const size_t atQuestion = second.Count();
  EXPECT_GE(Within([&] { return second.Count() > atQuestion; }, 2000), 0);
  w.Click("Cancel");
  EXPECT_EQ(w.Text("FileNameBox"), Cmessage().SELECT_FILE);
  EXPECT_TRUE(controlsShown());
  EXPECT_TRUE(staysSilent(second));

  // An unplug ends the run with the failure, tries nothing more, and marks the destination gone.
  ASSERT_TRUE(playLong(second, 4));
  LogLines log;
  const int endedBefore = ended;
  second.Close();
  const qint64 stopped = Within([&] { return ended > endedBefore; }, 2000);
  EXPECT_GE(stopped, 0);
  EXPECT_LE(stopped, 500);
  EXPECT_EQ(w.Text("LocationBox"), "Send error ! " + std::to_string(-ENOENT));
  EXPECT_EQ(log.Count("MIDISend err = ", true), 1u);
  EXPECT_EQ(first.Count() + third.Count(), 0u);
  ASSERT_GE(Within(shows({"first:input", "third:input", "second:input (gone)"}, 2), 500), 0);

  // Closing during a run on the newly chosen one, answered Yes, stops it and closes the window.
  QTest::keyClick(w.List(), Qt::Key_Up);
  ASSERT_TRUE(playLong(third, 2));
  answer = true;
  EXPECT_TRUE(window->close());
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(staysSilent(third));
  EXPECT_EQ(first.Count(), 0u);
}

}  // namespace
}  // namespace midiflash::testing
