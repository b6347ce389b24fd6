// MIDI output on a real JACK server and with no service; the ALSA code that needs no kernel.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "CableModel.h"
#include "JackServerEnvironment.h"
#include "MidiService.h"
#include "RawmidiStatus.h"
#include "RecordingClient.h"
#include "SendQueue.h"
#include "TestHelpers.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

::testing::Environment* const kServer =
    ::testing::AddGlobalTestEnvironment(new JackServerEnvironment);
const ScopedEnv kJackOnly("MIDIFLASH_MIDI_API", "jack");  // unless a case says otherwise
const Bytes kNote = {0x90, 0x3C, 0x64};

// What `recorder` holds once `n` messages have come and a moment has passed for any more.
std::vector<Bytes> Received(const RecordingClient& recorder, size_t n = 0) {
  EXPECT_TRUE(recorder.WaitForCount(n, 2s)) << recorder.Count() << " of " << n;
  std::this_thread::sleep_for(20ms);
  std::vector<Bytes> out;
  for (const auto& m : recorder.Messages()) out.push_back(m.bytes);
  return out;
}

int32_t Send(MidiOutput& midi, const Bytes& m) {
  return midi.Send(m.data(), m.size());
}

TEST(JackOutputTest, EveryMessageArrivesInOrderBurstsWaitForRoomAndDropPendingStopsTheRest) {
  RecordingClient recorder;
  const auto midi = OpenMidiOutput();
  ASSERT_STREQ(midi->ServiceName(), "jack");
  ASSERT_EQ(midi->OpenDestination(recorder.FullPortName()), 0);
  LogLines log;
  std::vector<Bytes> sent = {{0x80, 0x3C, 0x00}, kNote,        {0xBF, 0x07, 0x7F},
                             {0xC0, 0x07},       {0xDF, 0x40}, {0xE0, 0x00, 0x40}};
  for (const Bytes& m : sent) EXPECT_EQ(Send(*midi, m), 0);
  const auto send = [&](const Bytes& m) { return sent.push_back(m), Send(*midi, m); };
  // The largest message arrives whole (jackd: 32,720 bytes; PipeWire keeps a margin below 32,735).
  const size_t largest = midi->LargestMessage(recorder.FullPortName());
  EXPECT_TRUE(largest >= 32000 && largest <= 32735) << largest;
  for (size_t size : {size_t{1}, size_t{4}, size_t{1000}, size_t{5000}, largest}) {
    EXPECT_EQ(send(Sysex(size, static_cast<uint8_t>(size))), 0) << size;
  }
  // Bursts PipeWire lost whole in one cycle; the last fits a cycle only unrounded to 8 bytes.
  for (const auto& [n, size] : {std::pair{2, 16363}, {8, 4085}, {200, 249}}) {
    for (int i = 0; i < n; ++i) ASSERT_EQ(send(Sysex(size_t(size), uint8_t(i))), 0) << size;
  }
  // One byte more is refused whole (on PipeWire 32,736 bytes would have crashed the program).
  EXPECT_EQ(Send(*midi, Sysex(largest + 1)), -EMSGSIZE);
  EXPECT_EQ(log.lines(), std::vector<std::string>{});
  EXPECT_EQ(send({0xF0, 0x43, 0x12}), 0);  // the escape form, without F7, goes out as it is

  // 500 KiB overfill the ring: sends wait. A cancel amid a burst drops only what no cycle took.
  for (size_t i = 0; i < 800; ++i) {
    Bytes m = Sysex(1024, static_cast<uint8_t>(i));
    m[1] = uint8_t(i >> 7), m[2] = uint8_t(i & 0x7F);
    ASSERT_EQ(send(m), 0);
    if (i == 499) {
      EXPECT_GT(midi->PendingBytes(), 0u);
      EXPECT_LE(midi->PendingBytes(), 500u * 1024);
      ASSERT_TRUE(recorder.WaitForCount(sent.size(), 5s)) << recorder.Count() << " arrived";
      EXPECT_TRUE(Eventually([&] { return midi->PendingBytes() == 0; }, 1s));
    }
  }
  midi->DropPending();
  const Bytes marker = {0x90, 0x7F, 0x7F};
  ASSERT_EQ(Send(*midi, marker), 0);
  ASSERT_TRUE(Eventually([&] { return recorder.Messages().back().bytes == marker; }, 2s));
  std::vector<Bytes> got = Received(recorder);
  got.pop_back();
  EXPECT_LT(got.size(), sent.size());
  sent.resize(got.size());
  EXPECT_TRUE(got == sent);  // not EXPECT_EQ, which would print 600 KiB
  EXPECT_TRUE(Eventually([&] { return midi->PendingBytes() == 0; }, 1s));
  EXPECT_EQ(recorder.Overflows(), 0u);
  EXPECT_EQ(midi->DeliveryError(), 0);
}

TEST(JackOutputTest, DestinationsAreListedInOrderAndChosenByIdentity) {
  RecordingClient first("first"), second("second");
  LogLines log;
  const auto midi = OpenMidiOutput();
  EXPECT_EQ(
      midi->ListDestinations(),
      (std::vector<MidiDestination>{{"first:input", "first:input", "first", "input", false},
                                    {"second:input", "second:input", "second", "input", false}}));
  const Bytes a = {0x90, 0x01, 0x01}, b = {0x90, 0x02, 0x02}, c = {0x90, 0x03, 0x03};
  for (const auto& [id, m] : std::vector<std::pair<std::string, Bytes>>{
           {"first:input", a}, {"second:input", b}, {"first:input", c}}) {
    ASSERT_EQ(midi->OpenDestination(id), 0);
    EXPECT_EQ(Send(*midi, m), 0);
  }
  for (const std::string id : {"", "nobody:input"}) {  // leaves none open
    ASSERT_EQ(midi->OpenDestination("first:input"), 0);
    EXPECT_EQ(midi->OpenDestination(id), -ENOENT);
    EXPECT_NE(Send(*midi, a), 0) << id;
  }
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(Received(first, 2), (std::vector<Bytes>{a, c}));

  // A gone destination is an error, never the device now at its index.
  first.Close();
  const auto start = Clock::now();
  ASSERT_EQ(midi->OpenDestination("second:input"), 0);
  EXPECT_LT(Clock::now() - start, 900ms);  // nothing queued: no wait
  EXPECT_EQ(Send(*midi, c), 0);
  EXPECT_EQ(midi->OpenDestination("first:input"), -ENOENT);
  EXPECT_NE(Send(*midi, a), 0);
  EXPECT_EQ(midi->DeliveryError(), 0);  // nothing was ever on its way
  EXPECT_EQ(Received(second, 2), (std::vector<Bytes>{b, c}));
  second.Close();
  EXPECT_TRUE(Eventually([&] { return midi->ListDestinations().empty(); }, 1s));  // PipeWire: later
}

TEST(JackOutputTest, DestinationLostAfterASendIsOneDeliveryErrorAndFailsTheNextSends) {
  for (const int32_t status : {-ENOENT, -ENOTCONN}) {
    SCOPED_TRACE(status);
    RecordingClient recorder;
    const auto midi = OpenMidiOutput();
    EXPECT_NE(Send(*midi, kNote), 0);  // nothing opened yet
    ASSERT_EQ(midi->OpenDestination(recorder.FullPortName()), 0);
    const Bytes m = Sysex(100);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Send(*midi, m), 0);
    ASSERT_TRUE(recorder.WaitForCount(10, 2s));
    EXPECT_EQ(midi->DeliveryError(), 0);
    LogLines log;
    status == -ENOENT ? recorder.Close()
                      : void(jack_disconnect(recorder.client(), "outputClient:outputPortName",
                                             recorder.FullPortName().c_str()));
    ASSERT_TRUE(Eventually([&] { return midi->DeliveryError() != 0; }, 500ms));
    EXPECT_EQ(midi->DeliveryError(), status);
    std::optional<RecordingClient> again;  // takes the gone one's name, but is not the one opened
    if (status == -ENOENT) again.emplace();
    EXPECT_NE(Send(*midi, m), 0);
    EXPECT_NE(Send(*midi, kNote), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"MIDISend err = " + std::to_string(status)});
    EXPECT_EQ(recorder.Count(), 10u);
  }
}

// A killed destination ends delivery within 0.5 s (jackd --sync keeps its port, but unlinks it);
// after 6 s idle (the stall limit is 5 s) the next run's first message is no stall.
TEST(JackOutputTest, AKilledDestinationEndsDeliveryAtOnceAndALongIdleIsNoStall) {
  const pid_t dump = fork();
  if (dump == 0) {
    freopen("/dev/null", "w", stdout);
    execlp("jack_midi_dump", "jack_midi_dump", nullptr);
    _exit(127);
  }
  const auto midi = OpenMidiOutput();
  ASSERT_TRUE(Eventually([&] { return midi->OpenDestination("midi-monitor:input") == 0; }, 5s));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(Send(*midi, kNote), 0);
  EXPECT_TRUE(Eventually([&] { return midi->PendingBytes() == 0; }, 1s));
  kill(dump, SIGKILL);
  waitpid(dump, nullptr, 0);
  const auto killed = Clock::now();
  while (midi->DeliveryError() == 0 && Clock::now() - killed < 6s) {
    Send(*midi, kNote);
    std::this_thread::sleep_for(3ms);
  }
  EXPECT_LT(Clock::now() - killed, 500ms);
  EXPECT_EQ(midi->DeliveryError(), JackKindFromEnv() == JackKind::kSync ? -ENOTCONN : -ENOENT);

  RecordingClient recorder;
  ASSERT_EQ(midi->OpenDestination(recorder.FullPortName()), 0);
  ASSERT_EQ(Send(*midi, kNote), 0);
  ASSERT_TRUE(Eventually([&] { return midi->PendingBytes() == 0; }, 1s));
  EXPECT_EQ(midi->DeliveryError(), 0);
  std::this_thread::sleep_for(6s);
  ASSERT_EQ(Send(*midi, Sysex(100)), 0);
  EXPECT_EQ(midi->DeliveryError(), 0);
  EXPECT_TRUE(recorder.WaitForCount(2, 1s));
  EXPECT_EQ(midi->DeliveryError(), 0);
}

// A reader stalled for three cycles: async jackd loses notes and must warn; --sync waits, so all
// arrive unwarned; PipeWire 0.3.65 loses them silently, so it runs unstalled. Then the server dies.
TEST(JackOutputTest, AStalledReaderWarnsWhereMessagesCanBeLostAndServerDeathFailsSends) {
  const JackKind kind = JackKindFromEnv();
  std::string error;
  auto server = JackServer::Start(&error, kind);  // a server of its own, to be killed
  ASSERT_NE(server, nullptr) << error;
  RecordingClient recorder;
  const auto midi = OpenMidiOutput();
  int losses = 0;
  for (int run = 0; run < (kind == JackKind::kAsync ? 10 : 3) && losses == 0; ++run) {
    ASSERT_EQ(midi->OpenDestination(recorder.FullPortName()), 0);
    const size_t before = recorder.Count();
    for (int i = 0; i < 150; ++i) {
      if (i == 5 && kind != JackKind::kPipeWire) recorder.Stall(3, 50ms);
      ASSERT_EQ(Send(*midi, {0x90, static_cast<uint8_t>(i), 1}), 0);
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(Eventually([&] { return midi->PendingBytes() == 0; }, 2s));
    std::this_thread::sleep_for(50ms);
    const bool lost = recorder.Count() - before < 150;
    losses += lost;
    EXPECT_TRUE(kind == JackKind::kAsync ? !lost || midi->DeliveryWarnings() > 0
                                         : !lost && midi->DeliveryWarnings() == 0)
        << run << ": " << recorder.Count() - before << " of 150, warned "
        << midi->DeliveryWarnings();
  }
  EXPECT_TRUE(kind != JackKind::kAsync || losses > 0) << "no loss provoked";

  ASSERT_EQ(Send(*midi, kNote), 0);
  ASSERT_TRUE(server->Kill());
  // The client learns of the death asynchronously.
  EXPECT_TRUE(Eventually([&] { return Send(*midi, kNote) != 0; }, 1s));
  EXPECT_NE(Send(*midi, Sysex(1000)), 0);
  EXPECT_TRUE(midi->ListDestinations().empty());
  EXPECT_EQ(midi->DeliveryError(), -ESHUTDOWN);
}

TEST(NoServiceTest, WithoutASequencerJackIsChosenButForcedAlsaHasNoClientAndNoFallBack) {
  if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has an ALSA sequencer";
  {
    ScopedEnv unset("MIDIFLASH_MIDI_API", std::nullopt);
    EXPECT_STREQ(OpenMidiOutput()->ServiceName(), "jack");
  }
  // The JACK server runs, but must not be used; snd_seq_open reports the missing /dev/snd/seq.
  ScopedEnv api("MIDIFLASH_MIDI_API", "alsa");
  LogLines log;
  const auto midi = OpenMidiOutput();
  EXPECT_STREQ(midi->ServiceName(), "none");
  EXPECT_TRUE(midi->ListDestinations().empty());
  EXPECT_EQ(midi->OpenDestination("14:0"), -ENODEV);
  EXPECT_EQ(Send(*midi, kNote), -ENODEV);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"MIDIClientCreate err = -2"});
}

std::chrono::nanoseconds CableTime(double bytes, double rate = CableModel::kBytesPerSecond) {
  return std::chrono::nanoseconds(static_cast<int64_t>(bytes * 1e9 / rate));
}

TEST(CableModelTest, HandsOverNoFasterThanTheCableAndCountsBytesGoneOnlyOnTheSlowerClock) {
  const CableModel::TimePoint t0 = CableModel::TimePoint() + 1h;
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
  const auto drained = t0 + CableTime(1024, CableModel::kDrainBytesPerSecond) + 1us;
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
  const auto before = Clock::now();
  EXPECT_FALSE(queue.Take(&m, 30ms));
  EXPECT_GE(Clock::now() - before, 30ms);
  // A message pushed, or a Wake, from another thread ends a consumer's wait at once.
  for (const bool push : {true, false}) {
    std::thread other([&] {
      std::this_thread::sleep_for(20ms);
      push ? void(queue.Push(c.data(), c.size())) : queue.Wake();
    });
    const auto start = Clock::now();
    EXPECT_EQ(queue.Take(&m, 10s), push);
    EXPECT_LT(Clock::now() - start, 5s);
    other.join();
    EXPECT_EQ(m, c);
  }
}

}  // namespace
}  // namespace midiflash::testing
