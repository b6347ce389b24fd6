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

// 1440 ticks at 480 a quarter note: 1.5 s at 120 bpm. Two tracks on two channels, so that each
// track's order can be checked on its own whatever ticks the events share.
struct RunFile {
  Bytes smf;
  Bytes opening;                      // the System Exclusive sent when the file is chosen
  std::vector<Bytes> track0, track1;  // the channel messages, in file order
};

RunFile MakeRunFile() {
  RunFile f;
  f.opening = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
  TrackBuilder t0, t1;
  t0.SysEx(0, Bytes(f.opening.begin() + 1, f.opening.end()));
  for (uint8_t i = 0; i < 12; ++i) {
    const Bytes on{0x90, static_cast<uint8_t>(60 + i), 0x40};
    const Bytes off{0x80, static_cast<uint8_t>(60 + i), 0x00};
    t0.Event(i == 0 ? 0 : 60, on).Event(60, off);
    f.track0.push_back(on);
    f.track0.push_back(off);
  }
  t0.EndOfTrack(0);
  for (uint8_t i = 0; i < 8; ++i) {
    const Bytes cc{0xB1, 0x07, static_cast<uint8_t>(i * 16)};
    t1.Event(i == 0 ? 30 : 170, cc);
    f.track1.push_back(cc);
  }
  const Bytes program{0xC1, 0x05};
  t1.Event(10, program).EndOfTrack(1440 - 30 - 7 * 170 - 10);
  f.track1.push_back(program);
  f.smf = Smf(1, 480, {t0, t1});
  return f;
}

TEST(JackRunTest, AWholeRunReachesTheDestinationAndEndsCompleted) {
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  ScopedEnv api("MIDIFLASH_MIDI_API", "jack");
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());

  const RunFile file = MakeRunFile();
  QTemporaryDir dir;
  const std::string path = dir.filePath("run.dat").toStdString();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.smf.data()),
             static_cast<std::streamsize>(file.smf.size()));

  FakeChooser chooser;
  MainWindowController::Parts parts;
  parts.chooser = &chooser;
  MainWindowController wc(std::move(parts));
  wc.showWindow();
  QWidget* w = wc.window();
  auto* list = w->findChild<QComboBox*>("midiOutDevice");
  const int target = list->findText(QString::fromStdString(recorder.FullPortName()));
  ASSERT_GE(target, 0) << recorder.FullPortName() << " is not listed";
  list->setFocus();
  while (list->currentIndex() < target) QTest::keyClick(list, Qt::Key_Down);

  chooser.answer = path;
  QTest::mouseClick(w->findChild<QPushButton*>("FileSel"), Qt::LeftButton);
  ASSERT_TRUE(recorder.WaitForCount(1, 2s));

  bool ended = false;
  QObject::connect(&wc, &MainWindowController::runEnded, [&] { ended = true; });
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w->findChild<QPushButton*>("Update"), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return ended; }, 15000)) << "the run did not end";
  // Played in real time, not as fast as it could be sent.
  EXPECT_GE(clock.elapsed(), 1400);

  EXPECT_EQ(w->findChild<QLineEdit*>("LocationBox")->text(), "Updating is completed !!");
  EXPECT_EQ(w->findChild<QProgressBar*>("Progress")->value(), 0);
  EXPECT_EQ(w->findChild<QLineEdit*>("FileNameBox")->text().toStdString(), Cmessage().SELECT_FILE);
  EXPECT_FALSE(w->findChild<QPushButton*>("Update")->isEnabled());
  EXPECT_TRUE(w->findChild<QPushButton*>("FileSel")->isEnabled());
  EXPECT_EQ(wc.workflow().view().lastOutcome, RunOutcome::kCompleted);

  const size_t total = 1 + file.track0.size() + file.track1.size();
  ASSERT_TRUE(recorder.WaitForCount(total, 2s)) << recorder.Count() << " of " << total;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(recorder.Overflows(), 0u);
  std::vector<Bytes> got0, got1;
  const auto messages = recorder.Messages();
  ASSERT_EQ(messages.size(), total);
  EXPECT_EQ(messages.front().bytes, file.opening);
  for (size_t i = 1; i < messages.size(); ++i) {
    ((messages[i].bytes[0] & 0x0F) == 0 ? got0 : got1).push_back(messages[i].bytes);
  }
  EXPECT_EQ(got0, file.track0);
  EXPECT_EQ(got1, file.track1);
}

}  // namespace
}  // namespace midiflash::testing
