// A whole update through the real window, MIDI output and timer, to a recording client on a
// private JACK server.
#include <QElapsedTimer>

#include "JackServer.h"
#include "MidiTestHelpers.h"
#include "RecordingClient.h"
#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

TEST(JackRunTest, AWholeRunReachesTheDestinationAndEndsCompleted) {
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  ScopedEnv api("MIDIFLASH_MIDI_API", "jack");
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());

  // 1440 ticks at 480 a quarter note: 1.5 s at 120 bpm. The System Exclusive goes out when the
  // file is chosen, the notes during the run.
  std::vector<Bytes> expected = {{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0xF7}};
  TrackBuilder track;
  track.SysEx(0, Bytes(expected[0].begin() + 1, expected[0].end()));
  for (uint8_t i = 0; i < 12; ++i) {
    expected.push_back({0x90, static_cast<uint8_t>(60 + i), 0x40});
    track.Event(i == 0 ? 0 : 60, expected.back());
    expected.push_back({0x80, static_cast<uint8_t>(60 + i), 0x00});
    track.Event(60, expected.back());
  }
  track.EndOfTrack(0);
  QTemporaryDir dir;
  const std::string path = WriteFile(dir, "run.dat", Smf(0, 480, {track}));

  FakeChooser chooser;
  MainWindowController::Parts parts;
  parts.chooser = &chooser;
  MainWindowController wc(std::move(parts));
  wc.showWindow();
  QWidget* w = wc.window();
  ASSERT_EQ(w->findChild<QComboBox*>("midiOutDevice")->currentText().toStdString(),
            recorder.FullPortName());

  chooser.answer = path;
  QTest::mouseClick(w->findChild<QPushButton*>("FileSel"), Qt::LeftButton);
  ASSERT_TRUE(recorder.WaitForCount(1, 2s));

  bool ended = false;
  QObject::connect(&wc, &MainWindowController::runEnded, [&] { ended = true; });
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w->findChild<QPushButton*>("Update"), Qt::LeftButton);
  while (!ended && clock.elapsed() < 15000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_TRUE(ended) << "the run did not end";
  EXPECT_GE(clock.elapsed(), 1400);  // played in real time, not as fast as it could be sent

  EXPECT_EQ(w->findChild<QLineEdit*>("LocationBox")->text(), "Updating is completed !!");

  ASSERT_TRUE(recorder.WaitForCount(expected.size(), 2s)) << recorder.Count();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(recorder.Overflows(), 0u);
  std::vector<Bytes> got;
  for (const auto& m : recorder.Messages()) got.push_back(m.bytes);
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace midiflash::testing
