// The window driven as a user would, on fakes and in whole updates on a private JACK server (what
// the workflow decides is tested with the core); and the real open dialog.
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>
#include <fstream>
#include <thread>

#include "CoreFakes.h"
#include "JackServer.h"
#include "MainWindowController.h"
#include "QtFileChooser.h"
#include "RecordingClient.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

struct FakeChooser : FileChooser {
  std::string dir, saveName;
  std::optional<std::string> answer, saveAnswer;
  void SetDirectory(const std::string& d) override { dir = d; }
  std::string Directory() const override { return dir; }
  std::optional<std::string> RunModal() override { return answer; }
  std::optional<std::string> RunSave(const std::string&, const std::string& name) override {
    return saveName = name, saveAnswer;
  }
};

struct WindowDriver {
  // Builds the window on `parts` (the chooser is always the fake one) and shows it.
  explicit WindowDriver(MainWindowController::Parts parts = {}) {
    parts.chooser = &chooser;
    wc = std::make_unique<MainWindowController>(std::move(parts));
    wc->showWindow();
  }
  template <class T = QPushButton>
  T* Find(const char* name) {
    return wc->window()->findChild<T*>(name);
  }
  void Click(const char* button) { QTest::mouseClick(Find(button), Qt::LeftButton); }
  std::string Text(const char* box) { return Find<QLineEdit>(box)->text().toStdString(); }
  std::string Label(const char* box) { return Find<QLabel>(box)->text().toStdString(); }
  QComboBox* List() { return Find<QComboBox>("midiOutDevice"); }
  // Writes `bytes` to file `name` and picks it with File Select.
  void Choose(const char* name, const Bytes& bytes) {
    chooser.answer = dir.filePath(name).toStdString();
    std::ofstream(*chooser.answer).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    Click("FileSel");
  }

  QTemporaryDir dir;
  FakeChooser chooser;
  std::unique_ptr<MainWindowController> wc;
};

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

// The timer only counts; `fire` queues one tick through the controller's queue, as the real one.
struct WindowTest : ::testing::Test {
  FakeMidi midi;
  std::function<void()> fire;
  QTemporaryDir settings;
  MainWindowController::Parts Parts() {
    return {.midi = &midi,
            .timer =
                [this](auto post, auto tick) {
                  fire = [post, tick] { post(tick); };
                  return std::make_unique<FakeTimer>();
                },
            .settingsFile = settings.filePath("midiflash.conf").toStdString(),
            .reportsFolder = settings.path().toStdString()};
  }
  WindowDriver w{Parts()};
  QWidget* window() { return w.wc->window(); }
};

// The position text pads its numbers: the status line needs a fixed-width font and room for the
// longest one. A long destination that went away still shows "(gone)", its whole name in the tip.
TEST_F(WindowTest, TheStatusLineHoldsTheLongestPositionAndTheListAGoneName) {
  auto* status = w.Find<QLineEdit>("LocationBox");
  EXPECT_TRUE(QFontInfo(status->font()).fixedPitch());
  const QString longest = "[ 9999m 59s] [ 99999999 / 99999999 ticks]";
  EXPECT_GE(status->contentsRect().width(), status->fontMetrics().horizontalAdvance(longest));
  EXPECT_EQ(w.Find<QProgressBar>("Progress")->maximum(), 100);  // it takes the percent as it comes
  const std::string name(60, 'x');
  midi.names = {"A", name};
  w.wc->workflow().DestinationsChanged();
  w.wc->workflow().ChooseDestination(name);
  midi.names = {"A"};
  w.wc->workflow().DestinationsChanged();
  QCoreApplication::processEvents();
  EXPECT_EQ(w.List()->toolTip().toStdString(), name + " (gone)");
  EXPECT_GE(w.List()->width(), w.List()->fontMetrics().horizontalAdvance(w.List()->currentText()));
}

// The status line says "completed"; a run the service may have lost messages of also says so in a
// box, and only such a run. Closing asks only during a run: No lets it go on, Yes cancels it.
TEST_F(WindowTest, AHiddenLossSaysSoInABoxAndClosingAsksOnlyDuringARun) {
  TrackBuilder t;
  const Bytes file = Smf(0, 480, {t.Event(0, {0x90, 0x3C, 0x40}).EndOfTrack(5)});  // 5 ms
  int asked = 0;
  bool answer = false;
  w.wc->SetStopQuestion([&] { return ++asked, answer; });
  for (const uint64_t losses : {0, 1}) {
    w.Choose("a.dat", file);
    w.Click("Update");
    midi.warnings = losses;
    EXPECT_FALSE(window()->close());
    std::this_thread::sleep_for(30ms);
    fire(), fire();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Text("LocationBox"), NoticeText(Notice::kCompleted));
    ASSERT_EQ(window()->findChild<QMessageBox*>("DeliveryWarning") != nullptr, losses > 0);
  }
  auto* box = window()->findChild<QMessageBox*>("DeliveryWarning");
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->text().toStdString(), WarningText(1));
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 2);

  w.wc->showWindow();
  w.Choose("a.dat", file);
  w.Click("Update");
  answer = true;
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(w.Text("LocationBox"), NoticeText(Notice::kCanceled));
}

// The gap field applies to System Exclusive files only, outside a run; Update hands it to the run.
TEST_F(WindowTest, TheGapFieldAppliesToSystemExclusiveFilesAndUpdateTakesItsValue) {
  auto* gap = w.Find<QSpinBox>("Gap");
  EXPECT_EQ(gap->value(), 100);
  w.Choose("a.dat", Smf(0, 480, {TrackBuilder().EndOfTrack()}));
  EXPECT_FALSE(gap->isEnabled());
  w.Choose("bank.syx", {0xF0, 0x7E, 0xF7});
  EXPECT_TRUE(gap->isEnabled());
  gap->setValue(2500);
  w.Click("Update");
  EXPECT_FALSE(gap->isEnabled());
  EXPECT_EQ(w.wc->workflow().sysExGap(), 2500u);
}

// The destination chosen in the list is chosen again at the next start, by its identity.
TEST_F(WindowTest, TheChosenDestinationIsRememberedForTheNextStart) {
  QTest::keyClick(w.List(), Qt::Key_Down);
  EXPECT_EQ(midi.opened, (std::vector<std::string>{"A", "B"}));
  midi.names = {"0", "A", "B"};
  WindowDriver again(Parts());
  EXPECT_EQ(again.List()->currentText(), "B");
  EXPECT_EQ(again.List()->itemText(0), "0");
}

// What the recorder has received, once it has `n` messages.
std::vector<Bytes> Received(const RecordingClient& r, size_t n) {
  EXPECT_TRUE(r.WaitForCount(n, 2s)) << r.Count() << " of " << n;
  std::vector<Bytes> got;
  for (const auto& m : r.Messages()) got.push_back(m.bytes);
  return got;
}

TEST(JackRunTest, RunsCompleteInRealTimeOrEndAtACancelOrAnUnplugThatTheListShows) {
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  RecordingClient first("first"), second("second");
  ASSERT_TRUE(first.ok() && second.ok());
  // 1.5 s at 120 bpm; the System Exclusive goes out when the file is chosen, the notes in the run.
  std::vector<Bytes> expected = {{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0xF7}};
  TrackBuilder track, notes;
  track.SysEx(0, Bytes(expected[0].begin() + 1, expected[0].end()));
  for (uint8_t i = 0; i < 12; ++i) {
    track.Event(i == 0 ? 0 : 60, expected.emplace_back(Bytes{0x90, uint8_t(60 + i), 0x40}));
    track.Event(60, expected.emplace_back(Bytes{0x80, uint8_t(60 + i), 0x00}));
  }
  for (uint8_t i = 0; i < 64; ++i) notes.Event(i == 0 ? 0 : 120, {0x90, i, 0x40});  // 8 s
  const Bytes run = Smf(0, 480, {track.EndOfTrack(0)}), longRun = Smf(0, 480, {notes.EndOfTrack()});

  WindowDriver w;
  int ended = 0;
  QObject::connect(w.wc.get(), &MainWindowController::runEnded, [&] { ++ended; });
  const auto controlsShown = [&] {
    return w.wc->workflow().controls() ==
           Controls{w.Find("FileSel")->isEnabled(),  w.Find("Update")->isEnabled(),
                    w.Find("Cancel")->isEnabled(),   w.List()->isEnabled(),
                    w.Find("Identify")->isEnabled(), w.Find("SaveReport")->isEnabled()};
  };
  // Starts the 8 s file; true once the second client has 4 messages more.
  const auto playLong = [&] {
    const size_t target = second.Count() + 4;
    w.Choose("long.dat", longRun);
    w.Click("Update");
    return Within([&] { return second.Count() >= target; }, 5000) >= 0;
  };
  // Chosen for the first destination, the file's opening message goes to the second too once it is
  // chosen. Of two runs 6 s apart, the first leaves nothing behind in the way of the second.
  w.Choose("run.dat", run);
  EXPECT_EQ(w.Text("FileNameBox"), "<< run.dat >>");
  QTest::keyClick(w.List(), Qt::Key_Down);
  std::vector<Bytes> twice = expected;
  for (int r = 0; r < 2; ++r) {
    if (r == 1) {
      QTest::qWait(6000);
      w.Choose("run.dat", run);
      twice.insert(twice.end(), expected.begin(), expected.end());
    }
    EXPECT_EQ(w.Text("LocationBox"), NoticeText(Notice::kClickUpdate));
    w.Click("Update");
    const qint64 took = Within([&] { return ended == r + 1; }, 15000);
    ASSERT_GE(took, 1400) << "the run did not end, or not in real time";
    EXPECT_EQ(w.Text("LocationBox"), "Updating is completed !!");
  }
  EXPECT_EQ(Received(second, twice.size()), twice);
  EXPECT_EQ(Received(first, 1), std::vector<Bytes>{expected[0]});

  // During a run the position and progress move, and Cancel reaches the workflow.
  ASSERT_TRUE(playLong());
  static const QRegularExpression kPosition(R"(^\[ {4}0m \d\ds\] \[ \d{8} / \d{8} ticks\]$)");
  EXPECT_TRUE(kPosition.match(QString::fromStdString(w.Text("LocationBox"))).hasMatch())
      << w.Text("LocationBox");
  EXPECT_GT(w.Find<QProgressBar>("Progress")->value(), 0);
  EXPECT_TRUE(controlsShown());
  w.Click("Cancel");
  EXPECT_EQ(w.Text("FileNameBox"), SelectFileText());
  EXPECT_TRUE(w.Label("DetailBox").starts_with("long.dat: stopped at tick "));
  EXPECT_TRUE(controlsShown());

  // An unplug ends the run with the failure, and the list marks the destination gone.
  ASSERT_TRUE(playLong());
  second.Close();
  const qint64 stopped = Within([&] { return ended == 4; }, 2000);
  EXPECT_TRUE(stopped >= 0 && stopped <= 500) << stopped;
  EXPECT_EQ(w.Text("LocationBox"), "Send error ! " + std::to_string(-ENOENT));
  EXPECT_TRUE(
      w.Label("DetailBox").starts_with(SendErrorAdvice(-ENOENT) + "\nlong.dat: stopped at tick "));
  const auto gone = [&] {
    return w.List()->count() == 2 && w.List()->currentIndex() == 1 &&
           w.List()->currentText() == "second:input (gone)";
  };
  EXPECT_GE(Within(gone, 500), 0);

  // Identify shows who the device is; a verified update its revisions; the report what it received.
  RecordingClient dev("dev", "input", RecordingClient::Answer::kAnswer);
  ASSERT_GE(Within([&] { return w.List()->findText("dev:input") >= 0; }, 2000), 0);
  w.List()->setCurrentIndex(w.List()->findText("dev:input"));
  emit w.List()->activated(w.List()->currentIndex());
  const std::string who = "dev:input: non-commercial (7D), family 0x0012, model 0x00B4, ";
  const auto identity = [&] { return w.Label("IdentityBox"); };
  w.Click("Identify");
  EXPECT_GE(Within([&] { return identity().starts_with(who + "software revision 1.0.0.0"); }, 2500),
            0)
      << identity();
  w.Find<QCheckBox>("Verify")->click();
  w.Choose("run.dat", run);  // the device is asked first: Update waits for that
  ASSERT_GE(Within([&] { return w.Find("Update")->isEnabled(); }, 2500), 0);
  w.Click("Update");
  ASSERT_GE(Within([&] { return ended == 5; }, 15000), 0);
  EXPECT_TRUE(identity().ends_with("\nSoftware revision: 1.0.0.0 \u2192 1.0.1.0")) << identity();
  w.chooser.saveAnswer = w.dir.filePath("report.json").toStdString();
  w.Click("SaveReport");
  EXPECT_TRUE(w.chooser.saveName.starts_with("run-")) << w.chooser.saveName;
  std::ifstream report(*w.chooser.saveAnswer);
  const std::string json{std::istreambuf_iterator<char>(report), {}};
  size_t bytes = 0;
  for (const auto& m : dev.Messages()) bytes += m.bytes.size();
  // Three Identity Requests (Identify, before, after) and the file's bytes.
  EXPECT_NE(json.find("\"bytes_delivered\": " + std::to_string(bytes - 3 * 6) + ",\n"),
            std::string::npos)
      << json << bytes;
  EXPECT_NE(json.find("\"software_revision\": \"1.0.1.0\"}"), std::string::npos) << json;
  // Asynchronous jackd may report a loss it cannot rule out; the report's status follows it.
  const bool warned = json.find("\"delivery_warnings\": 0,") == std::string::npos;
  EXPECT_NE(json.find(warned ? "\"exit_status\": 5\n" : "\"exit_status\": 0\n"), std::string::npos)
      << json;
}

TEST(QtFileChooser, StartsInTheFolderOffersDatFilesAndReturnsTheChoiceOrNothing) {
  QTemporaryDir dir;
  QFile(dir.filePath("a.dat")).open(QIODevice::WriteOnly);
  const QString path = QDir(dir.path()).absolutePath();
  QtFileChooser chooser(nullptr);
  chooser.SetDirectory(dir.path().toStdString());
  EXPECT_EQ(chooser.Directory(), path.toStdString());
  // Runs the dialog; `act` gets it once it is shown.
  const auto run = [&](std::function<void(QFileDialog*)> act) {
    bool acted = false;
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if ((acted = d != nullptr)) act(d);
    });
    auto result = chooser.RunModal();
    EXPECT_TRUE(acted) << "no modal file dialog was shown";
    return result;
  };
  EXPECT_EQ(run([&](QFileDialog* d) {
              EXPECT_EQ(d->directory().absolutePath(), path);
              EXPECT_EQ(d->nameFilters(),
                        (QStringList{"Update files (*.dat)", "MIDI files (*.dat *.mid *.syx)",
                                     "All files (*)"}));
              EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
              d->selectFile("a.dat");
              static_cast<QDialog*>(d)->accept();  // QFileDialog hides the Open button's slot
            }),
            QDir(path).filePath("a.dat").toStdString());
  EXPECT_EQ(run([](QFileDialog* d) { d->reject(); }), std::nullopt);
}

}  // namespace
}  // namespace midiflash::testing

// One QApplication, offscreen unless told otherwise; a window not on fakes meets the JACK server.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("MIDIFLASH_MIDI_API", "jack", 1);
  QApplication app(argc, argv);
  // Tests close windows without an event loop of their own; nothing may end the application.
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
