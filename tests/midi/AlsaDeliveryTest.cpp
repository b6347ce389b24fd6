// The parts of the ALSA backend's delivery that need no kernel: the cable clock that paces a
// kernel MIDI port, the reading of its rawmidi status, and the send queue. The real sequencer runs
// in the QEMU bed (alsa-kernel/).
#include <gtest/gtest.h>
#include <unistd.h>

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
  // 768 bytes may wait once 256 have left; a piece larger than that waits for an idle cable.
  EXPECT_NEAR((cable.ReadyAt(256, t0) - t0).count(), CableTime(256).count(), 1000);
  EXPECT_NEAR((cable.ReadyAt(4096, t0) - t0).count(), CableTime(1024).count(), 1000);
  EXPECT_EQ(cable.ReadyAt(256, t0 + 1s), t0 + 1s);
  EXPECT_EQ(cable.Backlog(t0), 1024u);
  // When a nominal cable is done, the slower clock still holds a little back.
  const uint64_t tail = cable.Backlog(t0 + CableTime(1024));
  EXPECT_TRUE(tail > 45 && tail < 60) << tail;
  const TimePoint drained = t0 + CableTime(1024, CableModel::kDrainBytesPerSecond) + 1us;
  EXPECT_EQ(cable.Backlog(drained), 1u);  // the UART's FIFO
  EXPECT_EQ(cable.Backlog(drained + CableModel::kSettle), 0u);
  cable.Reset();
  EXPECT_EQ(cable.Backlog(t0), 0u);
  EXPECT_EQ(cable.ReadyAt(1024, t0), t0);
}

TEST(RawmidiStatusTest, ReadsTheOutputSubstreamThatTheSubscriptionOpened) {
  // A /proc/asound of our own: card 1 has two devices; ours is the second device's substream 1.
  const std::string ours = std::to_string(getpid());
  const auto root = std::filesystem::temp_directory_path() / ("asound-" + ours);
  std::filesystem::create_directories(root / "card1");
  std::ofstream(root / "card1" / "midi0")
      << "Other\n\nOutput 0\n  Owner PID    : 1\n  Buffer size  : 4096\n  Avail        : 4096\n";
  RawmidiStatus status;
  RawmidiOutput out;
  for (int avail : {96, 4096}) {
    std::ofstream(root / "card1" / "midi1")
        << "Ours\n\nOutput 0\n  Tx bytes     : 0\nOutput 1\n  Tx bytes     : 7\n  Owner PID    : "
        << ours << "\n  Buffer size  : 4096\n  Avail        : " << avail
        << "\nInput 0\n  Buffer size  : 4096\n  Avail        : 1\n";
    ASSERT_TRUE(avail != 96 || status.Find(root.string(), 1, 0, getpid()));  // found once
    ASSERT_TRUE(status.Read(&out));
    EXPECT_EQ(out.tx_bytes, 7u);
    EXPECT_EQ(out.Held(), 4096u - avail);
  }
  // Opened by someone else: the kernel port client's numbering (device 1, substream 1) decides.
  ASSERT_TRUE(status.Find(root.string(), 1, 33, getpid() + 1));
  EXPECT_TRUE(status.Read(&out));
  EXPECT_FALSE(status.Find(root.string(), 1, 2, getpid() + 1));
  EXPECT_FALSE(status.Find(root.string(), 1, 32, getpid() + 1));  // that substream is closed
  EXPECT_FALSE(status.Find(root.string(), 7, 0, getpid()));
  std::filesystem::remove_all(root);
}

TEST(SendQueueTest, DeliversInOrderCountsUnsentBytesAndDropsOnlyWhatWasNotTaken) {
  SendQueue queue(5000);
  const Bytes a = Sysex(1000, 1), b = Sysex(3000, 2), c = Sysex(1001, 3);
  ASSERT_TRUE(queue.Push(a.data(), a.size()) && queue.Push(b.data(), b.size()));
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
  // A message pushed, or a Wake, from another thread ends a consumer's wait at once.
  for (const bool push : {true, false}) {
    std::thread other([&] {
      std::this_thread::sleep_for(20ms);
      push ? void(queue.Push(c.data(), c.size())) : queue.Wake();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.Take(&m, 10s), push);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    other.join();
    EXPECT_EQ(m, c);
  }
}

}  // namespace
}  // namespace midiflash::testing
