// The parts of the ALSA backend's delivery that need no kernel: the cable clock that paces a
// kernel MIDI port, the reading of its rawmidi status, and the send queue. The real sequencer runs
// in the QEMU bed (alsa-kernel/).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CableModel.h"
#include "MidiTestHelpers.h"
#include "RawmidiStatus.h"
#include "SendQueue.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;
using TimePoint = CableModel::TimePoint;

std::chrono::nanoseconds CableTime(double bytes, double rate = CableModel::kBytesPerSecond) {
  return std::chrono::nanoseconds(static_cast<int64_t>(bytes * 1e9 / rate));
}

TEST(CableModelTest, HandsOverNoFasterThanTheCableAndCountsBytesGoneOnlyOnTheSlowerClock) {
  const TimePoint t0 = TimePoint() + 1h;
  CableModel cable(1024);
  EXPECT_EQ(cable.ReadyAt(256, t0), t0);
  EXPECT_EQ(cable.Backlog(t0), 0u);
  cable.Handed(1024, t0);
  // 768 bytes may wait once 256 have left.
  EXPECT_NEAR((cable.ReadyAt(256, t0) - t0).count(), CableTime(256).count(), 1000);
  EXPECT_EQ(cable.ReadyAt(256, t0 + 1s), t0 + 1s);
  // A piece larger than the allowance waits for an idle cable.
  EXPECT_NEAR((cable.ReadyAt(4096, t0) - t0).count(), CableTime(1024).count(), 1000);
  EXPECT_EQ(cable.Backlog(t0), 1024u);
  // When a nominal cable is done, the slower clock still holds a little back.
  const uint64_t tail = cable.Backlog(t0 + CableTime(1024));
  EXPECT_GT(tail, 45u);
  EXPECT_LT(tail, 60u);
  const TimePoint drained = t0 + CableTime(1024, CableModel::kDrainBytesPerSecond) + 1us;
  EXPECT_EQ(cable.Backlog(drained), 1u);  // the UART's FIFO
  EXPECT_EQ(cable.Backlog(drained + CableModel::kSettle), 0u);
  cable.Reset();
  EXPECT_EQ(cable.Backlog(t0), 0u);
  EXPECT_EQ(cable.ReadyAt(1024, t0), t0);
}

TEST(CableModelTest, ASenderThatAlwaysWaitsForRoomKeepsTheCableBusyAndNeverFarAhead) {
  const TimePoint t0 = TimePoint() + 1h;
  for (size_t piece : {1, 3, 256, 1024}) {
    CableModel cable(1024);
    TimePoint now = t0;
    uint64_t handed = 0;
    while (now < t0 + 10s) {
      now = cable.ReadyAt(piece, now);
      cable.Handed(piece, now);
      handed += piece;
      const double cable_sent = std::chrono::duration<double>(now - t0).count() * 3125.0;
      ASSERT_LE(handed, cable_sent + 1024 + 1) << "piece " << piece;
      ASSERT_GE(handed + 1, cable_sent) << "piece " << piece;
    }
  }
}

TEST(RawmidiStatusTest, ReadsTheOutputSubstreamThatTheSubscriptionOpened) {
  const std::string ours = std::to_string(getpid());
  const std::string text =
      "Serial MIDI\n\nOutput 0\n  Tx bytes     : 4711\n  Owner PID    : " + ours +
      "\n  Mode         : native\n  Buffer size  : 4096\n"
      "  Avail        : 1000\nOutput 1\n  Tx bytes     : 5\n"
      "Input 0\n  Rx bytes     : 9\n";
  RawmidiOutput out;
  ASSERT_TRUE(ParseRawmidiOutput(text, 0, &out));
  EXPECT_EQ(out.tx_bytes, 4711u);
  EXPECT_EQ(out.buffer_size, 4096u);
  EXPECT_EQ(out.avail, 1000u);
  EXPECT_EQ(out.Held(), 3096u);
  ASSERT_TRUE(ParseRawmidiOutput(text, 1, &out));
  EXPECT_EQ(out.tx_bytes, 5u);
  EXPECT_EQ(out.owner_pid, -1);
  EXPECT_EQ(out.buffer_size, 0u);
  EXPECT_FALSE(ParseRawmidiOutput(text, 2, &out));

  // A /proc/asound of our own: card 1 has two devices; ours is the second device's substream 1.
  const std::filesystem::path root = std::filesystem::temp_directory_path() / ("asound-" + ours);
  std::filesystem::create_directories(root / "card1");
  std::ofstream(root / "card1" / "midi0") << "Other\n\nOutput 0\n  Owner PID    : 1\n"
                                             "  Buffer size  : 4096\n  Avail        : 4096\n";
  const auto write_ours = [&](int avail) {
    std::ofstream(root / "card1" / "midi1")
        << "Ours\n\nOutput 0\n  Tx bytes     : 0\nOutput 1\n  Tx bytes     : 7\n"
        << "  Owner PID    : " << ours << "\n  Buffer size  : 4096\n  Avail        : " << avail
        << "\n";
  };
  write_ours(96);
  RawmidiStatus status;
  ASSERT_TRUE(status.Find(root.string(), 1, 0, getpid()));
  ASSERT_TRUE(status.Read(&out));
  EXPECT_EQ(out.Held(), 4000u);
  write_ours(4096);
  ASSERT_TRUE(status.Read(&out));
  EXPECT_EQ(out.Held(), 0u);
  // Opened by someone else: the kernel port client's numbering (device 1, substream 1) decides.
  ASSERT_TRUE(status.Find(root.string(), 1, 33, getpid() + 1));
  EXPECT_TRUE(status.Read(&out));
  EXPECT_FALSE(status.Find(root.string(), 1, 2, getpid() + 1));
  EXPECT_FALSE(status.Find(root.string(), 7, 0, getpid()));
  std::filesystem::remove_all(root);
}

TEST(SendQueueTest, DeliversInOrderCountsUnsentBytesAndDropsOnlyWhatWasNotTaken) {
  SendQueue queue(5000);
  const Bytes a = Sysex(1000, 1), b = Sysex(3000, 2), c = Sysex(1001, 3);
  ASSERT_TRUE(queue.Push(a.data(), a.size()));
  ASSERT_TRUE(queue.Push(b.data(), b.size()));
  EXPECT_FALSE(queue.Push(c.data(), c.size()));  // past the limit: nothing of it queued
  EXPECT_EQ(queue.Unsent(), 4000u);
  std::vector<uint8_t> m;
  ASSERT_TRUE(queue.Take(&m, 0ms));
  EXPECT_EQ(m, a);
  queue.MarkSent(600);
  EXPECT_EQ(queue.Unsent(), 3400u);
  // Dropping leaves the message being delivered counted; it finishes.
  EXPECT_EQ(queue.DropQueued(), 3000u);
  EXPECT_EQ(queue.Unsent(), 400u);
  queue.MarkSent(400);
  EXPECT_EQ(queue.Unsent(), 0u);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.Take(&m, 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 30ms);
  // A message pushed from another thread wakes a waiting consumer at once.
  std::thread producer([&] {
    std::this_thread::sleep_for(20ms);
    queue.Push(c.data(), c.size());
  });
  ASSERT_TRUE(queue.Take(&m, 10s));
  producer.join();
  EXPECT_EQ(m, c);
  std::thread waker([&] {
    std::this_thread::sleep_for(20ms);
    queue.Wake();
  });
  const auto woken = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.Take(&m, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - woken, 5s);
  waker.join();
}

}  // namespace
}  // namespace midiflash::testing
