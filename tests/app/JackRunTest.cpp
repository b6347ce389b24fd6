// A whole update through the real window, MIDI output and timer, to a recording client on a
// private JACK server.
#include <QElapsedTimer>
#include <cerrno>
#include <cstdio>
#include <functional>

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

// Runs the event loop until `done` holds or `ms` have passed; returns the milliseconds taken,
// or -1 on timeout.
qint64 Within(const std::function<bool()>& done, qint64 ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return -1;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return clock.elapsed();
}

TEST(JackRunTest, TheListFollowsTheServerKeepsTheChoiceAndAnUnplugEndsTheRunAtOnce) {
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  ScopedEnv api("MIDIFLASH_MIDI_API", "jack");
  auto first = std::make_unique<RecordingClient>("first");
  RecordingClient second("second");
  ASSERT_TRUE(first->ok() && second.ok());
  TrackBuilder track;  // 8 s of notes, one every 120 ticks (1/8 s)
  for (uint8_t i = 0; i < 64; ++i) track.Event(i == 0 ? 0 : 120, {0x90, i, 0x40});
  track.EndOfTrack(0);
  QTemporaryDir dir;
  const std::string path = WriteFile(dir, "long.dat", Smf(0, 480, {track}));

  FakeChooser chooser;
  MainWindowController::Parts parts;
  parts.chooser = &chooser;
  MainWindowController wc(std::move(parts));
  wc.showWindow();
  QWidget* w = wc.window();
  auto* list = w->findChild<QComboBox*>("midiOutDevice");
  auto* update = w->findChild<QPushButton*>("Update");
  const auto items = [list] {
    std::vector<std::string> v;
    for (int i = 0; i < list->count(); ++i) v.push_back(list->itemText(i).toStdString());
    return v;
  };
  const auto shows = [&](std::vector<std::string> want, int selected) {
    return [&, want, selected] { return items() == want && list->currentIndex() == selected; };
  };
  ASSERT_EQ(items(), (std::vector<std::string>{"first:input", "second:input"}));
  list->setCurrentIndex(1);
  emit list->activated(1);

  // A destination that appears shows up while the window is open.
  RecordingClient third("third");
  const qint64 appeared = Within(shows({"first:input", "second:input", "third:input"}, 1), 500);
  EXPECT_GE(appeared, 0) << "the list did not follow";
  // One inserted in front of the chosen one (it takes the port slot the closed one freed) moves
  // it down the list; the selection and the run stay with it.
  first.reset();
  ASSERT_GE(Within(shows({"second:input", "third:input"}, 0), 500), 0);
  RecordingClient inserted("inserted");
  ASSERT_GE(Within(shows({"inserted:input", "second:input", "third:input"}, 1), 500), 0);

  chooser.answer = path;
  QTest::mouseClick(w->findChild<QPushButton*>("FileSel"), Qt::LeftButton);
  bool ended = false;
  QObject::connect(&wc, &MainWindowController::runEnded, [&] { ended = true; });
  QTest::mouseClick(update, Qt::LeftButton);
  // The ticks run on this thread's event loop: wait by running it.
  ASSERT_GE(Within([&] { return second.Count() >= 8; }, 5000), 0);
  LogLines log;
  second.Close();
  const qint64 stopped = Within([&] { return ended; }, 2000);
  std::printf(
      "[ figure ] list followed an added destination after %lld ms; the run ended %lld "
      "ms after its destination went away\n",
      static_cast<long long>(appeared), static_cast<long long>(stopped));
  EXPECT_GE(stopped, 0);
  EXPECT_LE(stopped, 500);
  EXPECT_EQ(w->findChild<QLineEdit*>("LocationBox")->text().toStdString(),
            "Send error ! " + std::to_string(-ENOENT));
  // One failure, one line: nothing was tried after it.
  EXPECT_EQ(log.Count("MIDISend err = ", true), 1u);
  EXPECT_EQ(inserted.Count() + third.Count(), 0u);

  // After the run the list shows the chosen one as gone, and Update waits for a new choice of
  // destination; the file chosen again then opens the update on it.
  ASSERT_GE(Within(shows({"inserted:input", "third:input", "second:input (gone)"}, 2), 500), 0);
  chooser.answer = path;
  QTest::mouseClick(w->findChild<QPushButton*>("FileSel"), Qt::LeftButton);
  EXPECT_FALSE(update->isEnabled());
  list->setCurrentIndex(1);
  emit list->activated(1);
  EXPECT_EQ(items(), (std::vector<std::string>{"inserted:input", "third:input"}));
  QTest::mouseClick(w->findChild<QPushButton*>("FileSel"), Qt::LeftButton);
  EXPECT_TRUE(update->isEnabled());
  EXPECT_EQ(inserted.Count(), 0u);
}

}  // namespace
}  // namespace midiflash::testing
