// `midiflash-cli play` and `list --watch` end to end: the real program, a private JACK server and
// recording destinations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "CliProcess.h"
#include "JackServerEnvironment.h"
#include "Pacing.h"
#include "RecordingClient.h"
#include "SmfBuilder.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono;

// Two System Exclusive messages at tick 0, then `n` messages `gap` ticks apart at division 480
// (every third a System Exclusive of 101 bytes, the others notes) and the end of the track
// `end_gap` ticks later; `sent` receives the messages as the device must receive them.
Bytes Update(int n, uint32_t gap, uint32_t end_gap, std::vector<Bytes>& sent) {
  TrackBuilder conductor, data;
  conductor.Meta(0, 0x51, {0x07, 0xA1, 0x20}).Meta(0, 0x58, {4, 2, 24, 8}).EndOfTrack();
  for (int i = -2; i < n; ++i) {
    const auto b = static_cast<uint8_t>(i & 0x7F);
    const bool sysex = i < 0 || i % 3 == 0;
    sent.push_back(sysex ? Cat({{0xF0}, Bytes(i < 0 ? 2 : 99, b), {0xF7}}) : Bytes{0x90, b, 0x40});
    if (sysex) data.SysEx(i < 0 ? 0 : gap, Bytes(sent.back().begin() + 1, sent.back().end()));
    if (!sysex) data.Event(gap, sent.back());
  }
  return Smf(1, 480, {conductor, data.EndOfTrack(end_gap)});
}

// Round 0 plays the whole file. Then SIGINT and SIGTERM in turn, half of them at random moments
// and half within a cycle of the last message arriving: the file ends on a System Exclusive
// message, so the run drains it and ends on the next tick, racing the signal. Whatever arrived is
// the file's messages from the first, in order, and the status always follows the end line.
TEST(PlayFixture, PlaysAtThePaceOfTheFileAndASignalLeavesNothingHalfSent) {
  RecordingClient rec("device", "in");
  std::vector<Bytes> sent;
  const TempFile f(Update(31, 24, 0, sent));  // about 1 s of playing
  std::srand(20261206);
  for (int round = 0; round <= 50; ++round) {
    SCOPED_TRACE(round);
    const size_t before = rec.Count();
    const auto t0 = steady_clock::now();
    CliProcess cli({"play", f.path, "--port", rec.FullPortName()});
    const int signo = round % 2 ? SIGTERM : SIGINT;
    if (round % 4 >= 2) {
      rec.WaitForCount(before + sent.size(), seconds(5));
      std::this_thread::sleep_for(microseconds(std::rand() % 4000));
    } else if (round > 0) {
      std::this_thread::sleep_for(milliseconds(std::rand() % 1200));
    }
    if (round > 0) cli.Signal(signo);
    const int status = cli.Wait();
    const double took = duration<double>(steady_clock::now() - t0).count();
    // A JACK server without real-time rights may run a cycle late on a loaded machine: the run
    // then says that delivery may be incomplete (exit 5), and the bytes received tell whether.
    const std::string out = "\n" + cli.out;
    const bool completed =
        out.ends_with("\nUpdating is completed !!\n") || out.ends_with(" time(s)\n");
    ASSERT_TRUE(completed || round > 0) << out << cli.err;
    if (completed) {
      EXPECT_EQ(status, out.ends_with("!!\n") ? 0 : 5) << out << cli.err;
      rec.WaitForCount(before + sent.size(), seconds(1));
    } else {
      // Interrupted before the program could catch signals, it prints nothing and sends nothing.
      EXPECT_EQ(status, 128 + signo) << out << cli.err;
      EXPECT_TRUE(cli.out.empty() ? rec.Count() == before
                                  : out.ends_with("\nUpdating was canceled by user!!\n"))
          << out;
    }
    std::this_thread::sleep_for(milliseconds(20));
    const auto msgs = rec.Messages();
    const size_t got = msgs.size() - before;
    ASSERT_LE(got, sent.size());
    EXPECT_TRUE(!completed || got == sent.size());
    for (size_t i = 0; i < got; ++i) ASSERT_EQ(msgs[before + i].bytes, sent[i]);
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(rec.Count(), msgs.size());  // nothing comes later
    if (round > 0) continue;
    // From the first timed message to the last are 30 gaps of 24 ticks on the device's clock: the
    // pacing model's time with a regular timer. A late timer tick is worth more whole ticks and
    // drops less, so a loaded machine plays faster, but never faster than the file at 120 bpm.
    const double span = (msgs.back().frame - msgs[2].frame) / 44100.0;
    EXPECT_LE(span, 1.1 * PacedSeconds(30 * 24, 480));
    EXPECT_GE(span, 0.95 * 30 * 24 / 960.0);
    EXPECT_LE(took, 1.1 * PacedSeconds(31 * 24, 480) + 0.5);  // start-up adds a little
    EXPECT_EQ(rec.Overflows(), 0u);
  }
}

TEST(PlayFixture, ListWatchFollowsDestinationsUntilInterrupted) {
  auto first = std::make_unique<RecordingClient>("first", "in");
  CliProcess cli({"list", "--watch"});
  const auto shows = [&cli](const std::string& text) {
    for (const auto end = steady_clock::now() + seconds(5); steady_clock::now() < end;) {
      if (cli.OutputSoFar().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
  };
  ASSERT_TRUE(shows("0: first:in\n")) << cli.OutputSoFar();
  RecordingClient second("second", "in");
  ASSERT_TRUE(shows("added 1: second:in\n")) << cli.OutputSoFar();
  first.reset();
  ASSERT_TRUE(shows("removed 0: first:in\n")) << cli.OutputSoFar();
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_EQ(cli.out, "0: first:in\nadded 1: second:in\nremoved 0: first:in\n");
}

// A fault in the middle of a run ends it at once with its own text and status, and nothing is sent
// afterwards: a destination that vanishes or a server that dies ("Send error ! N" after at most one
// log line, exit 3), a file deleted, grown or cut short ("Open file error !", exit 4).
TEST(PlayFixture, AFaultMidRunStopsItAtOnce) {
  enum Fault { kUnplug, kKillServer, kDelete, kGrow, kTruncate };
  for (const Fault fault : {kUnplug, kKillServer, kDelete, kGrow, kTruncate}) {
    SCOPED_TRACE(fault);
    std::string error;  // the server killed is one of this case's own
    const auto own = fault == kKillServer ? JackServer::Start(&error) : nullptr;
    ASSERT_TRUE(fault != kKillServer || own != nullptr) << error;
    auto rec = std::make_unique<RecordingClient>("device", "in");
    std::vector<Bytes> sent;
    const Bytes file = Update(300, 24, 24, sent);  // about 10 s of playing
    const TempFile f(file);
    CliProcess cli({"play", f.path, "--port", rec->FullPortName()});
    ASSERT_TRUE(rec->WaitForCount(10, seconds(10)));
    const auto cut = steady_clock::now();
    ASSERT_TRUE(fault != kKillServer || own->Kill());
    if (fault == kUnplug) rec->Close();
    if (fault == kDelete) unlink(f.path.c_str());
    if (fault == kGrow) std::ofstream(f.path, std::ios::app) << "more";
    ASSERT_TRUE(fault != kTruncate ||
                truncate(f.path.c_str(), static_cast<off_t>(file.size() / 2)) == 0);
    const bool send = fault == kUnplug || fault == kKillServer;
    EXPECT_EQ(cli.Wait(), send ? 3 : 4) << cli.out << cli.err;
    EXPECT_LT(steady_clock::now() - cut, milliseconds(1500));
    const std::string end = cli.out.substr(cli.out.rfind('\n', cli.out.size() - 2) + 1);
    EXPECT_TRUE(send ? end.starts_with("Send error ! ") : end == "Open file error !\n") << cli.out;
    const size_t logged = cli.err.find("MIDISend err = ");
    EXPECT_EQ(cli.err.find("MIDISend err = ", logged + 1), std::string::npos) << cli.err;
    const size_t after_end = rec->Count();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(rec->Count(), after_end);
    EXPECT_LT(after_end, sent.size());
  }
}

}  // namespace
}  // namespace midiflash::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("MIDIFLASH_MIDI_API", "jack", 1);  // every test here meets the private JACK server
  ::testing::AddGlobalTestEnvironment(new midiflash::testing::JackServerEnvironment);
  return RUN_ALL_TESTS();
}
