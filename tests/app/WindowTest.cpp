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
  std::optional<std::string> answer, saveAnswer;
  void SetDirectory(const std::string&) override {}
  std::string Directory() const override { return {}; }
  std::optional<std::string> RunModal() override { return answer; }
  std::optional<std::string> RunSave(const std::string&, const std::string&) override {
    return saveAnswer;
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
};

// The gap field applies to System Exclusive files only, outside a run; Update hands it to the run.
// The destination chosen in the list is chosen again at the next start, by its identity.
TEST_F(WindowTest, TheGapAppliesToSystemExclusiveFilesAndTheChosenDestinationIsRemembered) {
  auto* gap = w.Find<QSpinBox>("Gap");
  EXPECT_EQ(gap->value(), 100);
  w.Choose("a.dat", Smf(0, 480, {TrackBuilder().EndOfTrack()}));
  EXPECT_FALSE(gap->isEnabled());
  w.Choose("bank.syx", {0xF0, 0x7E, 0xF7});
  EXPECT_TRUE(gap->isEnabled());
  QTest::keyClick(w.List(), Qt::Key_Down);
  EXPECT_EQ(midi.opened, (std::vector<std::string>{"A", "B"}));
  gap->setValue(2500);
  w.Click("Update");
  EXPECT_FALSE(gap->isEnabled());
  EXPECT_EQ(w.wc->workflow().sysExGap(), 2500u);
  midi.names = {"0", "A", "B"};
  WindowDriver again(Parts());
  EXPECT_EQ(again.List()->currentText(), "B");
  EXPECT_EQ(again.List()->itemText(0), "0");
}

// A run the service may have lost messages of says so in a box, and only such a run. Closing asks
// only during a run: No lets it go on, Yes (the third time) cancels it.
TEST_F(WindowTest, AHiddenLossSaysSoInABoxAndClosingAsksOnlyDuringARun) {
  const Bytes file = Smf(0, 480, {TrackBuilder().Event(0, {0x90, 0x3C, 0x40}).EndOfTrack(5)});
  int asked = 0;
  w.wc->SetStopQuestion([&] { return ++asked == 3; });
  for (const uint64_t losses : {0, 1, 0}) {
    w.wc->showWindow();
    w.Choose("a.dat", file);
    w.Click("Update");
    midi.warnings = losses;
    if (w.wc->window()->close()) break;
    std::this_thread::sleep_for(30ms);  // 5 ms of file
    fire(), fire();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Text("LocationBox"), NoticeText(Notice::kCompleted));
    auto* box = w.wc->window()->findChild<QMessageBox*>("DeliveryWarning");
    EXPECT_EQ(box && box->isVisible() ? box->text().toStdString() : "",
              losses ? WarningText(1) : "");
    EXPECT_TRUE(w.wc->window()->close());
  }
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(w.Text("LocationBox"), NoticeText(Notice::kCanceled));
}

// Identify, then a verified update in real time, its revisions and its report; during a run the
// position and progress move and Cancel ends it; a device that goes away is marked gone in the
// list.
TEST(JackRunTest, AVerifiedUpdateInRealTimeACancelAndAnUnplugAsTheWindowShowsThem) {
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  RecordingClient dev("dev", "input", RecordingClient::Answer::kAnswer);
  // 1.5 s at 120 bpm. The device is asked who it is (Identify, then before the file's System
  // Exclusive, which goes out when the file is chosen), gets the notes, and is asked again.
  const Bytes ask(kIdentityRequest.begin(), kIdentityRequest.end());
  std::vector<Bytes> expected = {ask, ask, {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0xF7}};
  TrackBuilder track;
  track.SysEx(0, Bytes(expected[2].begin() + 1, expected[2].end()));
  for (uint8_t i = 0; i < 12; ++i) {
    track.Event(i == 0 ? 0 : 60, expected.emplace_back(Bytes{0x90, uint8_t(60 + i), 0x40}));
    track.Event(60, expected.emplace_back(Bytes{0x80, uint8_t(60 + i), 0x00}));
  }
  expected.push_back(ask);
  const Bytes run = Smf(0, 480, {track.EndOfTrack(0)});

  WindowDriver w;
  int ended = 0;
  QObject::connect(w.wc.get(), &MainWindowController::runEnded, [&] { ++ended; });
  const auto identity = [&] { return w.Label("IdentityBox"); };
  w.Click("Identify");
  const std::string who = "dev:input: non-commercial (7D), family 0x0012, model 0x00B4, software";
  EXPECT_GE(Within([&] { return identity().starts_with(who + " revision 1.0.0.0"); }, 2500), 0)
      << identity();
  w.Find<QCheckBox>("Verify")->click();
  w.Choose("run.dat", run);  // the device is asked first: Update waits for that
  ASSERT_GE(Within([&] { return w.Find("Update")->isEnabled(); }, 2500), 0);
  w.Click("Update");
  ASSERT_GE(Within([&] { return ended == 1; }, 15000), 1400) << "not ended, or not in real time";
  EXPECT_TRUE(identity().ends_with("\nSoftware revision: 1.0.0.0 \u2192 1.0.1.0")) << identity();
  ASSERT_TRUE(dev.WaitForCount(expected.size(), 2s));
  std::vector<Bytes> got;
  size_t bytes = 0;
  for (const auto& m : dev.Messages()) got.push_back(m.bytes), bytes += m.bytes.size();
  EXPECT_EQ(got, expected);
  w.chooser.saveAnswer = w.dir.filePath("report.json").toStdString();
  w.Click("SaveReport");
  std::ifstream report(*w.chooser.saveAnswer);
  const std::string json{std::istreambuf_iterator<char>(report), {}};
  // Three Identity Requests (Identify, before, after) and the file's bytes.
  EXPECT_NE(json.find("\"bytes_delivered\": " + std::to_string(bytes - 3 * 6) + ",\n"),
            std::string::npos)
      << json << bytes;

  // During a run the position and progress move, and Cancel reaches the workflow.
  w.Choose("run.dat", run);
  ASSERT_GE(Within([&] { return w.Find("Update")->isEnabled(); }, 2500), 0);
  w.Click("Update");
  ASSERT_GE(Within([&] { return dev.Count() >= expected.size() + 6; }, 5000), 0);
  static const QRegularExpression kPosition(R"(^\[ {4}0m \d\ds\] \[ \d{8} / \d{8} ticks\]$)");
  EXPECT_TRUE(kPosition.match(QString::fromStdString(w.Text("LocationBox"))).hasMatch())
      << w.Text("LocationBox");
  EXPECT_GT(w.Find<QProgressBar>("Progress")->value(), 0);
  w.Click("Cancel");
  EXPECT_TRUE(w.Label("DetailBox").starts_with("run.dat: stopped at tick "));

  // A device that goes away is marked gone in the list, and in its tip.
  dev.Close();
  const auto gone = [&] {
    return w.List()->count() == 1 && w.List()->currentText() == "dev:input (gone)" &&
           w.List()->toolTip() == w.List()->currentText();
  };
  EXPECT_GE(Within(gone, 500), 0) << w.List()->toolTip().toStdString();
}

TEST(QtFileChooser, StartsInTheFolderAndReturnsTheChoiceOrNothing) {
  QTemporaryDir dir;
  QFile(dir.filePath("a.dat")).open(QIODevice::WriteOnly);
  const QString path = QDir(dir.path()).absolutePath();
  QtFileChooser chooser(nullptr);
  chooser.SetDirectory(dir.path().toStdString());
  // Runs the dialog; `act` gets it once it is shown.
  const auto run = [&](std::function<void(QFileDialog*)> act) {
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(d, nullptr) << "no modal file dialog was shown";
      act(d);
    });
    return chooser.RunModal();
  };
  EXPECT_EQ(run([&](QFileDialog* d) {
              EXPECT_EQ(d->directory().absolutePath(), path);
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
