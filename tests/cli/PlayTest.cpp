// `midiflash-cli play` end to end: the real program, a private JACK server and a recording
// destination.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "CliProcess.h"
#include "JackServerEnvironment.h"
#include "Pacing.h"
#include "RecordingClient.h"
#include "SmfBuilder.h"

namespace midiflash::testing {
namespace {

// The messages a file sends, in order, and how long its run takes.
struct Expected {
  std::vector<Bytes> messages;
  double seconds = 0;
};

struct PlayFixture : ::testing::Test {
  static void SetUpTestSuite() { setenv("MIDIFLASH_MIDI_API", "jack", 1); }
  std::string path;
  void TearDown() override {
    if (!path.empty()) unlink(path.c_str());
  }
  void Write(const Bytes& b) {
    char name[] = "/tmp/midiflash-play-XXXXXX.dat";
    int fd = mkstemps(name, 4);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    close(fd);
    path = name;
  }
  // A file of `n` messages `gap` ticks apart at division 480, System Exclusive and notes mixed,
  // after two System Exclusive messages at tick 0; its tracks end `end_gap` ticks after the last.
  static Bytes Update(int n, uint32_t gap, Expected* e, int end_gap = -1) {
    if (end_gap < 0) end_gap = static_cast<int>(gap);
    TrackBuilder conductor, data;
    conductor.Meta(0, 0x51, {0x07, 0xA1, 0x20}).Meta(0, 0x58, {4, 2, 24, 8}).EndOfTrack();
    std::vector<Bytes> msgs;
    for (int i = 0; i < 2; ++i) {
      Bytes d = {0x7D, static_cast<uint8_t>(i), 0xF7};
      data.SysEx(0, d);
      msgs.push_back(Cat({{0xF0}, d}));
    }
    for (int i = 0; i < n; ++i) {
      if (i % 3 == 0) {
        Bytes d(100, static_cast<uint8_t>(i & 0x7F));
        d.back() = 0xF7;
        data.SysEx(gap, d);
        msgs.push_back(Cat({{0xF0}, d}));
      } else {
        Bytes note = {0x90, static_cast<uint8_t>(i & 0x7F), 0x40};
        data.Event(gap, note);
        msgs.push_back(note);
      }
    }
    data.EndOfTrack(static_cast<uint32_t>(end_gap));
    e->messages = msgs;
    e->seconds = PacedSeconds(static_cast<uint32_t>(n) * gap + static_cast<uint32_t>(end_gap), 480);
    return Smf(1, 480, {conductor, data});
  }
};

TEST_F(PlayFixture, DeliversEveryMessageInOrderAtThePaceOfTheFile) {
  RecordingClient rec("device", "in");
  ASSERT_TRUE(rec.ok());
  Expected e;
  Write(Update(90, 24, &e));
  const auto t0 = std::chrono::steady_clock::now();
  CliProcess cli({"play", path, "--port", rec.FullPortName()});
  // A JACK server without real-time rights may run a cycle late on a loaded machine: the run
  // then says that delivery may be incomplete (exit 5), and the bytes below tell whether it was.
  const int status = cli.Wait();
  ASSERT_TRUE(status == 0 || status == 5) << status << cli.out << cli.err;
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(rec.WaitForCount(e.messages.size(), std::chrono::seconds(2)));
  std::vector<Bytes> got;
  for (const auto& m : rec.Messages()) got.push_back(m.bytes);
  EXPECT_EQ(got, e.messages);
  EXPECT_EQ(rec.Overflows(), 0u);
  EXPECT_NE(cli.out.find("Start\n"), std::string::npos);
  EXPECT_TRUE(cli.out.ends_with(status == 0 ? "\nUpdating is completed !!\n" : " time(s)\n"))
      << cli.out;
  // From the first timed message to the last are 89 gaps of 24 ticks, on the device's own clock.
  // With a regular timer that takes the pacing model's time; a late timer tick is worth more
  // whole ticks and drops less, so a loaded machine plays faster, but never faster than the
  // file's own timing at 120 bpm.
  const auto msgs = rec.Messages();
  const double span = (msgs.back().frame - msgs[2].frame) / 44100.0;
  const double model_span = PacedSeconds(89 * 24, 480);
  const double nominal_span = 89 * 24 / 960.0;
  EXPECT_LE(span, 1.1 * model_span);
  EXPECT_GE(span, 0.95 * nominal_span);
  EXPECT_LE(took, 1.1 * e.seconds + 0.5);  // start-up adds a little
  std::printf("run span %.3f s, pacing model %.3f s, file at 120 bpm %.3f s\n", span, model_span,
              nominal_span);
}

TEST_F(PlayFixture, RefusedAndMissingFilesAndUnclearPorts) {
  RecordingClient rec("device", "in");
  Write(Header(2, 1, 480));
  CliProcess refused({"play", path});
  EXPECT_EQ(refused.Wait(), 1);
  EXPECT_NE(refused.out.find("Cant play this SMF !"), std::string::npos);
  // Anything but a regular file is answered at once; a FIFO with no writer must not hang.
  const std::string fifo = path + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& bad :
       {std::string("/nonexistent/x.dat"), fifo, std::string("/dev/zero"), std::string("/tmp")}) {
    CliProcess unreadable({"play", bad});
    EXPECT_EQ(unreadable.Wait(), 2) << bad;
    EXPECT_NE(unreadable.out.find("Open file error !\n"), std::string::npos) << bad;
  }
  unlink(fifo.c_str());
  RecordingClient other("device2", "in");
  for (const char* port : {"no-such-port", "dev", "7"}) {
    CliProcess unclear({"play", path, "--port", port});
    EXPECT_EQ(unclear.Wait(), 2) << port;
    EXPECT_NE(unclear.err.find("MIDI destination"), std::string::npos) << unclear.err;
  }
  EXPECT_TRUE(rec.Messages().empty());
  EXPECT_TRUE(other.Messages().empty());
}

TEST_F(PlayFixture, ListWatchFollowsDestinationsUntilInterrupted) {
  auto first = std::make_unique<RecordingClient>("first", "in");
  CliProcess cli({"list", "--watch"});
  const auto shows = [&cli](const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cli.OutputSoFar().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  };
  ASSERT_TRUE(shows("0: first:in\n")) << cli.OutputSoFar();
  const auto t0 = std::chrono::steady_clock::now();
  RecordingClient second("second", "in");
  ASSERT_TRUE(shows("added 1: second:in\n")) << cli.OutputSoFar();
  const auto t1 = std::chrono::steady_clock::now();
  first.reset();
  ASSERT_TRUE(shows("removed 0: first:in\n")) << cli.OutputSoFar();
  const auto t2 = std::chrono::steady_clock::now();
  std::printf("[ figure ] list --watch: added after %.1f ms, removed after %.1f ms\n",
              std::chrono::duration<double, std::milli>(t1 - t0).count(),
              std::chrono::duration<double, std::milli>(t2 - t1).count());
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_EQ(cli.out, "0: first:in\nadded 1: second:in\nremoved 0: first:in\n");
}

// SIGINT and SIGTERM in turn, half of them at random moments and half within a cycle of the
// last message arriving: the file ends on a System Exclusive message, so the run drains it and
// ends on the next tick, racing the signal. The status always follows the end line.
TEST_F(PlayFixture, CancelAtFiftyRandomMomentsLeavesNothingHalfSent) {
  RecordingClient rec("device", "in");
  Expected e;
  Write(Update(31, 24, &e, 0));  // about 1 s of playing
  std::srand(20261206);
  const std::string completed_line = "Updating is completed !!\n";
  const std::string canceled_line = "Updating was canceled by user!!\n";
  for (int round = 0; round < 50; ++round) {
    const size_t before = rec.Count();
    CliProcess cli({"play", path, "--port", rec.FullPortName()});
    if (round % 4 < 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::rand() % 1200));
    } else {
      rec.WaitForCount(before + e.messages.size(), std::chrono::seconds(5));
      std::this_thread::sleep_for(std::chrono::microseconds(std::rand() % 4000));
    }
    const int signo = round % 2 ? SIGTERM : SIGINT;
    cli.Signal(signo);
    const int status = cli.Wait();
    const std::string& out = cli.out;
    const bool completed = out.ends_with("\n" + completed_line) || out.ends_with(" time(s)\n");
    // Interrupted before the program could catch signals, it prints nothing and sends nothing.
    if (out.empty()) {
      EXPECT_EQ(rec.Count(), before) << round;
    }
    if (completed) {
      EXPECT_EQ(status, out.ends_with(completed_line) ? 0 : 5) << round << out << cli.err;
    } else {
      EXPECT_EQ(status, 128 + signo) << round << out << cli.err;
      EXPECT_TRUE(out.empty() || out == canceled_line || out.ends_with("\n" + canceled_line))
          << round << out;
    }
    // What arrived is the file's messages from the first, in order, and nothing comes later.
    if (completed) rec.WaitForCount(before + e.messages.size(), std::chrono::seconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto got = rec.Messages();
    const size_t n = got.size() - before;
    ASSERT_LE(n, e.messages.size()) << round;
    EXPECT_TRUE(!completed || n == e.messages.size()) << round;
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(got[before + i].bytes, e.messages[i]) << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rec.Count(), before + n) << round;
  }
}

// A fault in the middle of a run ends it at once with its own text and status, and nothing is sent
// afterwards: a destination that vanishes or a server that dies at the first failed send ("Send
// error ! N", one log line, exit 3), a file deleted, grown or cut short ("Open file error !", exit
// 4).
TEST_F(PlayFixture, AFaultMidRunStopsItAtOnce) {
  enum Fault { kUnplug, kKillServer, kDelete, kGrow, kTruncate };
  for (const Fault fault : {kUnplug, kKillServer, kDelete, kGrow, kTruncate}) {
    SCOPED_TRACE(fault);
    std::string error;
    std::unique_ptr<JackServer> own;  // a server of this case's own, to be killed
    if (fault == kKillServer) {
      own = JackServer::Start(&error);
      ASSERT_NE(own, nullptr) << error;
    }
    auto rec = std::make_unique<RecordingClient>("device", "in");
    ASSERT_TRUE(rec->ok());
    Expected e;
    const Bytes file = Update(300, 24, &e);  // about 10 s of playing
    Write(file);
    CliProcess cli({"play", path, "--port", rec->FullPortName()});
    ASSERT_TRUE(rec->WaitForCount(10, std::chrono::seconds(10)));
    const auto cut = std::chrono::steady_clock::now();
    if (fault == kKillServer) {
      ASSERT_TRUE(own->Kill());
    }
    if (fault == kUnplug) rec->Close();
    if (fault == kDelete) unlink(path.c_str());
    if (fault == kGrow) std::ofstream(path, std::ios::app) << "more";
    if (fault == kTruncate) {
      ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(file.size() / 2)), 0);
    }
    const bool send = fault == kUnplug || fault == kKillServer;
    EXPECT_EQ(cli.Wait(), send ? 3 : 4) << cli.out << cli.err;
    EXPECT_LT(std::chrono::steady_clock::now() - cut, std::chrono::milliseconds(1500));
    const size_t last = cli.out.rfind('\n', cli.out.size() - 2);
    const std::string end = cli.out.substr(last + 1);
    EXPECT_TRUE(send ? end.starts_with("Send error ! ") && end.back() == '\n'
                     : end == "Open file error !\n")
        << cli.out;
    size_t failures = 0;
    for (size_t at = 0; (at = cli.err.find("MIDISend err = ", at)) != std::string::npos; ++at) {
      ++failures;
    }
    EXPECT_LE(failures, 1u) << cli.err;
    const size_t after_end = rec->Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(rec->Count(), after_end);
    EXPECT_LT(after_end, e.messages.size());
    unlink(path.c_str());
  }
}

}  // namespace
}  // namespace midiflash::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new midiflash::testing::JackServerEnvironment);
  return RUN_ALL_TESTS();
}
