// Whole updates through the real window, MIDI output and timer, to recording clients on a private
// JACK server whose destinations come and go.
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

// Runs the event loop until `done` holds or `ms` have passed; returns the milliseconds taken, or -1
// on timeout.
qint64 Within(const std::function<bool()>& done, qint64 ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return -1;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return clock.elapsed();
}

TEST(JackRunTest, TheListFollowsTheServerARunCompletesInRealTimeAndAnUnplugEndsOneAtOnce) {
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  ScopedEnv api("MIDIFLASH_MIDI_API", "jack");
  auto first = std::make_unique<RecordingClient>("first");
  RecordingClient second("second");
  ASSERT_TRUE(first->ok() && second.ok());

  // 1440 ticks at 480 a quarter note: 1.5 s at 120 bpm. The System Exclusive goes out when the file
  // is chosen, the notes during the run.
  std::vector<Bytes> expected = {{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0xF7}};
  TrackBuilder track;
  track.SysEx(0, Bytes(expected[0].begin() + 1, expected[0].end()));
  for (uint8_t i = 0; i < 12; ++i) {
    expected.push_back({0x90, static_cast<uint8_t>(60 + i), 0x40});
    track.Event(i == 0 ? 0 : 60, expected.back());
    expected.push_back({0x80, static_cast<uint8_t>(60 + i), 0x00});
    track.Event(60, expected.back());
  }
  QTemporaryDir dir;
  const std::string run = WriteFile(dir, "run.dat", Smf(0, 480, {track.EndOfTrack(0)}));
  TrackBuilder notes;  // 8 s of notes, one every 120 ticks (1/8 s)
  for (uint8_t i = 0; i < 64; ++i) notes.Event(i == 0 ? 0 : 120, {0x90, i, 0x40});
  const std::string long_run = WriteFile(dir, "long.dat", Smf(0, 480, {notes.EndOfTrack(0)}));

  FakeChooser chooser;
  MainWindowController::Parts parts;
  parts.chooser = &chooser;
  MainWindowController wc(std::move(parts));
  wc.showWindow();
  QWidget* w = wc.window();
  auto* list = w->findChild<QComboBox*>("midiOutDevice");
  auto* update = w->findChild<QPushButton*>("Update");
  auto* status = w->findChild<QLineEdit*>("LocationBox");
  const auto choose = [&](const std::string& path) {
    chooser.answer = path;
    QTest::mouseClick(w->findChild<QPushButton*>("FileSel"), Qt::LeftButton);
  };
  const auto items = [list] {
    std::vector<std::string> v;
    for (int i = 0; i < list->count(); ++i) v.push_back(list->itemText(i).toStdString());
    return v;
  };
  const auto shows = [&](std::vector<std::string> want, int selected) {
    return [&, want, selected] { return items() == want && list->currentIndex() == selected; };
  };
  bool ended = false;
  QObject::connect(&wc, &MainWindowController::runEnded, [&] { ended = true; });
  ASSERT_EQ(items(), (std::vector<std::string>{"first:input", "second:input"}));
  list->setCurrentIndex(1);
  emit list->activated(1);

  RecordingClient third("third");
  const qint64 appeared = Within(shows({"first:input", "second:input", "third:input"}, 1), 500);
  EXPECT_GE(appeared, 0) << "the list did not follow";
  // One inserted in front of the chosen one (it takes the port slot the closed one freed) moves it
  // down the list; the selection and the runs stay with it.
  first.reset();
  ASSERT_GE(Within(shows({"second:input", "third:input"}, 0), 500), 0);
  RecordingClient inserted("inserted");
  ASSERT_GE(Within(shows({"inserted:input", "second:input", "third:input"}, 1), 500), 0);

  choose(run);
  ASSERT_TRUE(second.WaitForCount(1, 2s));
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(update, Qt::LeftButton);
  ASSERT_GE(Within([&] { return ended; }, 15000), 0) << "the run did not end";
  EXPECT_GE(clock.elapsed(),
            1400);  // played in real time, not as fast as it could be sent
  EXPECT_EQ(status->text(), "Updating is completed !!");
  ASSERT_TRUE(second.WaitForCount(expected.size(), 2s)) << second.Count();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(second.Overflows(), 0u);
  std::vector<Bytes> got;
  for (const auto& m : second.Messages()) got.push_back(m.bytes);
  EXPECT_EQ(got, expected);

  ended = false;
  choose(long_run);
  QTest::mouseClick(update, Qt::LeftButton);
  ASSERT_GE(Within([&] { return second.Count() >= expected.size() + 8; }, 5000), 0);
  LogLines log;
  second.Close();
  const qint64 stopped = Within([&] { return ended; }, 2000);
  std::printf(
      "[ figure ] list followed an added destination after %lld ms; "
      "the run ended %lld "
      "ms after its destination went away\n",
      static_cast<long long>(appeared), static_cast<long long>(stopped));
  EXPECT_GE(stopped, 0);
  EXPECT_LE(stopped, 500);
  EXPECT_EQ(status->text().toStdString(), "Send error ! " + std::to_string(-ENOENT));
  EXPECT_EQ(log.Count("MIDISend err = ", true),
            1u);  // nothing was tried after the failure
  EXPECT_EQ(inserted.Count() + third.Count(), 0u);

  // The chosen one shows as gone, and Update waits for a new choice of destination; the file chosen
  // again then opens the update on it.
  ASSERT_GE(Within(shows({"inserted:input", "third:input", "second:input (gone)"}, 2), 500), 0);
  choose(long_run);
  EXPECT_FALSE(update->isEnabled());
  list->setCurrentIndex(1);
  emit list->activated(1);
  EXPECT_EQ(items(), (std::vector<std::string>{"inserted:input", "third:input"}));
  choose(long_run);
  EXPECT_TRUE(update->isEnabled());
  EXPECT_EQ(inserted.Count(), 0u);
}

}  // namespace
}  // namespace midiflash::testing
