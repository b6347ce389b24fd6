// MidiAPI on a real JACK server: what a recording client receives, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "JackServer.h"
#include "MidiAPI.h"
#include "MidiTestHelpers.h"
#include "RecordingClient.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

class JackOutputTest : public ::testing::Test {
 protected:
  // Opens the destination whose port is `recorder`'s; fails the test when it is not listed.
  void OpenRecorder(MidiAPI& midi, const RecordingClient& recorder) {
    for (uint64_t i = 0; i < midi.MidiOutDeviceNumber(); ++i) {
      if (midi.MidiOutDeviceName(i) == recorder.FullPortName()) {
        midi.MidiOutDeviceOpen(static_cast<int64_t>(i));
        return;
      }
    }
    ADD_FAILURE() << recorder.FullPortName() << " is not among the destinations";
  }

  // Compares message lists, naming the first difference instead of printing them whole.
  static ::testing::AssertionResult SameMessages(const std::vector<Bytes>& got,
                                                 const std::vector<Bytes>& want) {
    for (size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
      if (got[i] == want[i]) continue;
      size_t at = 0;
      while (at < got[i].size() && at < want[i].size() && got[i][at] == want[i][at]) ++at;
      return ::testing::AssertionFailure()
             << "message " << i << " differs at byte " << at << " (sizes " << got[i].size()
             << " and " << want[i].size() << ")";
    }
    if (got.size() != want.size()) {
      return ::testing::AssertionFailure() << got.size() << " messages instead of " << want.size();
    }
    return ::testing::AssertionSuccess();
  }

  std::vector<Bytes> Received(const RecordingClient& recorder) {
    std::vector<Bytes> out;
    for (const auto& m : recorder.Messages()) out.push_back(m.bytes);
    return out;
  }

  ScopedEnv api_{"MIDIFLASH_MIDI_API", "jack"};
};

TEST_F(JackOutputTest, ChannelMessagesArriveWithTwoOrThreeBytesByStatus) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  ASSERT_STREQ(midi.ServiceName(), "jack");
  OpenRecorder(midi, recorder);

  struct Case {
    uint8_t status, d2, d3;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {0x90, 0x3C, 0x64, {0x90, 0x3C, 0x64}}, {0x80, 0x3C, 0x00, {0x80, 0x3C, 0x00}},
      {0xAF, 0x01, 0x02, {0xAF, 0x01, 0x02}}, {0xBF, 0x07, 0x7F, {0xBF, 0x07, 0x7F}},
      {0xC0, 0x07, 0x55, {0xC0, 0x07}},       {0xC5, 0x07, 0x55, {0xC5, 0x07}},
      {0xD0, 0x40, 0x33, {0xD0, 0x40}},       {0xDF, 0x40, 0x33, {0xDF, 0x40}},
      {0xE0, 0x00, 0x40, {0xE0, 0x00, 0x40}}, {0xEF, 0x7F, 0x7F, {0xEF, 0x7F, 0x7F}},
  };
  std::vector<Bytes> expected;
  for (const auto& c : cases) {
    EXPECT_EQ(midi.SendShortMessage(c.status, c.d2, c.d3), 0);
    expected.push_back(c.expected);
  }
  ASSERT_TRUE(recorder.WaitForCount(cases.size(), 2s));
  EXPECT_EQ(Received(recorder), expected);
}

TEST_F(JackOutputTest, SystemExclusiveOfEverySizeUpToOneCycleArrivesWhole) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  OpenRecorder(midi, recorder);

  std::vector<Bytes> sent;
  for (size_t size : {1, 4, 1000, 5000, 30000}) {
    sent.push_back(Sysex(size, static_cast<uint8_t>(size)));
    EXPECT_EQ(midi.SendLongMessage(sent.back().data(), sent.back().size()), 0) << size;
  }
  // The escape form: F0 and data, no F7.
  sent.push_back({0xF0, 0x43, 0x12});
  EXPECT_EQ(midi.SendLongMessage(sent.back().data(), sent.back().size()), 0);

  ASSERT_TRUE(recorder.WaitForCount(sent.size(), 2s));
  EXPECT_TRUE(SameMessages(Received(recorder), sent));
}

TEST_F(JackOutputTest, MessageTooLargeForOneCycleIsRefusedAndNothingOfItArrives) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  OpenRecorder(midi, recorder);
  LogLines log;

  const Bytes huge = Sysex(65536);
  const int32_t status = midi.SendLongMessage(huge.data(), huge.size());
  EXPECT_NE(status, 0);
  EXPECT_EQ(log.CountOf("MIDISend err = " + std::to_string(status)), 1u);

  // A marker behind it shows the port stayed usable and that the big one never went out.
  const Bytes marker = {0x90, 0x40, 0x01};
  EXPECT_EQ(midi.SendLongMessage(marker.data(), marker.size()), 0);
  ASSERT_TRUE(recorder.WaitForCount(1, 2s));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Received(recorder), std::vector<Bytes>{marker});
}

TEST_F(JackOutputTest, BurstOfMessagesArrivesCompleteAndInOrder) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  OpenRecorder(midi, recorder);

  // 500 KiB sent back to back is more than the send ring holds, so sends have to wait for room.
  constexpr size_t kCount = 500;
  std::vector<Bytes> sent;
  for (size_t i = 0; i < kCount; ++i) {
    Bytes m = Sysex(1024, static_cast<uint8_t>(i));
    m[1] = static_cast<uint8_t>(i >> 7);
    m[2] = static_cast<uint8_t>(i & 0x7F);
    sent.push_back(m);
  }
  for (const auto& m : sent) ASSERT_EQ(midi.SendLongMessage(m.data(), m.size()), 0);

  ASSERT_TRUE(recorder.WaitForCount(kCount, 5s)) << recorder.Count() << " arrived";
  EXPECT_EQ(recorder.Overflows(), 0u);
  EXPECT_TRUE(SameMessages(Received(recorder), sent));
}

TEST_F(JackOutputTest, MessagesThatDoNotShareACycleWaitForTheNextOne) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  OpenRecorder(midi, recorder);

  // Two of these never fit one 32 KiB port buffer: each must be held over, not dropped.
  std::vector<Bytes> sent;
  for (uint8_t i = 0; i < 4; ++i) {
    sent.push_back(Sysex(20000, i));
    ASSERT_EQ(midi.SendLongMessage(sent.back().data(), sent.back().size()), 0);
  }
  ASSERT_TRUE(recorder.WaitForCount(sent.size(), 2s));
  const auto messages = recorder.Messages();
  EXPECT_TRUE(SameMessages(Received(recorder), sent));
  for (size_t i = 1; i < messages.size(); ++i) {
    EXPECT_GE(messages[i].frame - messages[i - 1].frame,
              static_cast<jack_nframes_t>(JackServer::kPeriodFrames));
  }
}

TEST_F(JackOutputTest, DestinationsAreListedInOrderWithTheirNames) {
  RecordingClient first("first");
  RecordingClient second("second");
  ASSERT_TRUE(first.ok() && second.ok());
  MidiAPI midi;
  LogLines log;

  ASSERT_EQ(midi.MidiOutDeviceNumber(), 2u);
  EXPECT_EQ(midi.MidiOutDeviceName(0), first.FullPortName());
  EXPECT_EQ(midi.MidiOutDeviceName(1), second.FullPortName());
  EXPECT_EQ(first.FullPortName(), "first:input");
  EXPECT_EQ(log.lines().size(), 0u);

  EXPECT_EQ(midi.MidiOutDeviceName(2), "(null)");
  EXPECT_EQ(log.CountStartingWith("MIDIObjectGetStringProperty err = "), 1u);

  second.Close();
  EXPECT_EQ(midi.MidiOutDeviceNumber(), 1u);
}

TEST_F(JackOutputTest, OpeningAnotherDestinationRetargetsAtOnce) {
  RecordingClient first("first");
  RecordingClient second("second");
  ASSERT_TRUE(first.ok() && second.ok());
  MidiAPI midi;
  const Bytes a = {0x90, 0x01, 0x01}, b = {0x90, 0x02, 0x02}, c = {0x90, 0x03, 0x03};

  midi.MidiOutDeviceOpen(0);
  EXPECT_EQ(midi.SendLongMessage(a.data(), a.size()), 0);
  midi.MidiOutDeviceOpen(1);
  EXPECT_EQ(midi.SendLongMessage(b.data(), b.size()), 0);
  midi.MidiOutDeviceOpen(0);
  EXPECT_EQ(midi.SendLongMessage(c.data(), c.size()), 0);

  ASSERT_TRUE(first.WaitForCount(2, 2s));
  ASSERT_TRUE(second.WaitForCount(1, 2s));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Received(first), (std::vector<Bytes>{a, c}));
  EXPECT_EQ(Received(second), std::vector<Bytes>{b});
}

TEST_F(JackOutputTest, DestinationClosedMidStreamMakesTheNextSendsFail) {
  auto recorder = std::make_unique<RecordingClient>();
  ASSERT_TRUE(recorder->ok());
  MidiAPI midi;
  OpenRecorder(midi, *recorder);
  const Bytes m = Sysex(100);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(midi.SendLongMessage(m.data(), m.size()), 0);
  ASSERT_TRUE(recorder->WaitForCount(10, 2s));

  recorder->Close();
  LogLines log;
  for (int i = 0; i < 3; ++i) {
    const int32_t status = midi.SendLongMessage(m.data(), m.size());
    EXPECT_NE(status, 0);
    EXPECT_EQ(log.CountOf("MIDISend err = " + std::to_string(status)), static_cast<size_t>(i + 1));
  }
  EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);
  EXPECT_EQ(recorder->Count(), 10u);

  // A new client that takes the same name is not the opened destination: still refused.
  RecordingClient again;
  ASSERT_TRUE(again.ok());
  EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);
}

TEST_F(JackOutputTest, IndexOutsideTheListLeavesNoDestination) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  LogLines log;
  // Before any open there is no destination either.
  EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);

  for (int64_t index : {int64_t{1}, int64_t{-1}, int64_t{1} << 40}) {
    OpenRecorder(midi, recorder);
    midi.MidiOutDeviceOpen(index);
    EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0) << index;
  }
  EXPECT_EQ(log.CountStartingWith("MIDISend err = "), 4u);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(recorder.Count(), 0u);
}

TEST_F(JackOutputTest, ServerDeathMakesSendsFailWithoutACrash) {
  // A server of its own, so that killing it leaves the shared one alone.
  std::string error;
  auto server = JackServer::Start(&error);
  ASSERT_NE(server, nullptr) << error;
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  OpenRecorder(midi, recorder);
  ASSERT_EQ(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);
  ASSERT_TRUE(recorder.WaitForCount(1, 2s));

  LogLines log;
  ASSERT_TRUE(server->Kill());
  // The client learns of the death asynchronously; within a second every send must fail.
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  while (midi.SendShortMessage(0x90, 0x3C, 0x64) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "sends still succeed";
    std::this_thread::sleep_for(5ms);
  }
  const Bytes m = Sysex(1000);
  EXPECT_NE(midi.SendLongMessage(m.data(), m.size()), 0);
  EXPECT_EQ(midi.MidiOutDeviceNumber(), 0u);
  midi.MidiOutDeviceOpen(0);
  EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);
  EXPECT_GE(log.CountStartingWith("MIDISend err = "), 3u);
}

}  // namespace
}  // namespace midiflash::testing
