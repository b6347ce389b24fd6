// MidiAPI on a real JACK server: what a recording client receives, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "JackServer.h"
#include "ListCommand.h"
#include "MidiAPI.h"
#include "MidiTestHelpers.h"
#include "RecordingClient.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono_literals;

class JackOutputTest : public ::testing::Test {
 protected:
  // Opens the destination that is `recorder`'s port; fails the test when it is not listed.
  static void Open(MidiAPI& midi, const RecordingClient& recorder) {
    for (uint64_t i = 0; i < midi.MidiOutDeviceNumber(); ++i) {
      if (midi.MidiOutDeviceName(i) == recorder.FullPortName()) {
        return midi.MidiOutDeviceOpen(static_cast<int64_t>(i));
      }
    }
    ADD_FAILURE() << recorder.FullPortName() << " is not among the destinations";
  }
  static bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds t = 2s) {
    for (const auto end = std::chrono::steady_clock::now() + t; !done();) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  static int32_t Send(MidiAPI& midi, const Bytes& m) {
    return midi.SendLongMessage(m.data(), m.size());
  }
  static std::vector<Bytes> Received(const RecordingClient& recorder) {
    std::vector<Bytes> out;
    for (const auto& m : recorder.Messages()) out.push_back(m.bytes);
    return out;
  }
  // Names the first differing message instead of printing kilobytes.
  static ::testing::AssertionResult Same(const std::vector<Bytes>& got,
                                         const std::vector<Bytes>& want) {
    const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (at.first == got.end() && at.second == want.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message " << (at.first - got.begin()) << " of "
                                         << got.size() << " differs (" << want.size() << " sent)";
  }

  ScopedEnv api_{"MIDIFLASH_MIDI_API", "jack"};
};

TEST_F(JackOutputTest, EveryKindOfMessageArrivesByteForByteAndTooLargeOnesNotAtAll) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  ASSERT_STREQ(midi.ServiceName(), "jack");
  Open(midi, recorder);
  LogLines log;

  // Two bytes for 0xC0..0xDF, three otherwise; a two-byte one is given 0x55 as third byte.
  std::vector<Bytes> sent = {{0x80, 0x3C, 0x00}, {0x90, 0x3C, 0x64}, {0xBF, 0x07, 0x7F},
                             {0xC0, 0x07},       {0xDF, 0x40},       {0xE0, 0x00, 0x40}};
  for (const Bytes& m : sent) {
    EXPECT_EQ(midi.SendShortMessage(m[0], m[1], m.size() == 3 ? m[2] : 0x55), 0);
  }
  for (size_t size : {1, 4, 1000, 5000, 30000}) {
    sent.push_back(Sysex(size, static_cast<uint8_t>(size)));
    EXPECT_EQ(Send(midi, sent.back()), 0) << size;
  }
  // More than one cycle's port buffer holds: refused, logged, and nothing of it goes out.
  const int32_t status = Send(midi, Sysex(65536));
  EXPECT_NE(status, 0);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"MIDISend err = " + std::to_string(status)});
  sent.push_back({0xF0, 0x43, 0x12});  // the escape form, without F7, goes out as it is
  EXPECT_EQ(Send(midi, sent.back()), 0);

  ASSERT_TRUE(recorder.WaitForCount(sent.size(), 2s));
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(Same(Received(recorder), sent));
}

TEST_F(JackOutputTest, BurstArrivesCompleteAndInOrderAndDropPendingStopsTheRest) {
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  Open(midi, recorder);
  EXPECT_EQ(midi.PendingBytes(), 0u);

  // 500 KiB back to back is more than the send ring and many cycles hold: sends wait for room.
  std::vector<Bytes> sent;
  for (size_t i = 0; i < 800; ++i) {
    sent.push_back(Sysex(1024, static_cast<uint8_t>(i)));
    sent.back()[1] = static_cast<uint8_t>(i >> 7);
    sent.back()[2] = static_cast<uint8_t>(i & 0x7F);
  }
  for (size_t i = 0; i < 500; ++i) ASSERT_EQ(Send(midi, sent[i]), 0);
  EXPECT_GT(midi.PendingBytes(), 0u);
  EXPECT_LE(midi.PendingBytes(), 500u * 1024);
  ASSERT_TRUE(recorder.WaitForCount(500, 5s)) << recorder.Count() << " arrived";
  EXPECT_EQ(midi.PendingBytes(), 0u);

  // Cancel in the middle of another burst: what had not reached a cycle never leaves, what is
  // sent afterwards does, and nothing is counted as still on the way.
  for (size_t i = 500; i < 800; ++i) ASSERT_EQ(Send(midi, sent[i]), 0);
  midi.DropPending();
  const Bytes marker = {0x90, 0x7F, 0x7F};
  ASSERT_EQ(Send(midi, marker), 0);
  ASSERT_TRUE(Eventually(
      [&] { return !recorder.Messages().empty() && recorder.Messages().back().bytes == marker; }));
  std::vector<Bytes> got = Received(recorder);
  got.pop_back();
  EXPECT_LT(got.size(), 800u);
  sent.resize(got.size());
  EXPECT_TRUE(Same(got, sent));
  EXPECT_EQ(midi.PendingBytes(), 0u);
  EXPECT_EQ(recorder.Overflows(), 0u);
  EXPECT_EQ(midi.DeliveryError(), 0);
}

TEST_F(JackOutputTest, DestinationsAreListedInOrderAndChosenByIndexOrIdentity) {
  RecordingClient first("first"), second("second");
  ASSERT_TRUE(first.ok() && second.ok());
  MidiAPI midi;
  LogLines log;
  ASSERT_EQ(midi.MidiOutDeviceNumber(), 2u);
  EXPECT_EQ(midi.MidiOutDeviceName(0), "first:input");
  EXPECT_EQ(midi.MidiOutDeviceName(1), "second:input");
  EXPECT_TRUE(log.lines().empty());
  std::ostringstream text;
  EXPECT_EQ(RunListCommand(midi, false, text), 0);
  EXPECT_EQ(text.str(), "0: first:input\n1: second:input\n");

  const Bytes a = {0x90, 0x01, 0x01}, b = {0x90, 0x02, 0x02}, c = {0x90, 0x03, 0x03};
  for (const auto& [index, m] : std::vector<std::pair<int, Bytes>>{{0, a}, {1, b}, {0, c}}) {
    midi.MidiOutDeviceOpen(index);
    EXPECT_EQ(Send(midi, m), 0);
  }
  ASSERT_TRUE(first.WaitForCount(2, 2s) && second.WaitForCount(1, 2s));
  // An index outside the list has no name and, opened, leaves no destination.
  EXPECT_EQ(midi.MidiOutDeviceName(2), "(null)");
  EXPECT_EQ(log.Count("MIDIObjectGetStringProperty err = ", true), 1u);
  for (int64_t index : {int64_t{2}, int64_t{-1}, int64_t{1} << 40}) {
    midi.MidiOutDeviceOpen(0);
    midi.MidiOutDeviceOpen(index);
    EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0) << index;
  }
  EXPECT_EQ(log.Count("MIDISend err = ", true), 3u);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Received(first), (std::vector<Bytes>{a, c}));
  EXPECT_EQ(Received(second), std::vector<Bytes>{b});

  // A device that took a gone one's place in front of the chosen one does not receive its
  // messages, and a gone one is an error, never the device now at its index.
  EXPECT_EQ(midi.MidiOutDevices(),
            (std::vector<MidiDestination>{{"first:input", "first:input"},
                                          {"second:input", "second:input"}}));
  first.Close();
  RecordingClient inserted("inserted");
  ASSERT_EQ(midi.MidiOutDeviceName(0), "inserted:input");
  ASSERT_EQ(midi.MidiOutDeviceOpenId("second:input"), 0);
  EXPECT_EQ(Send(midi, c), 0);
  EXPECT_EQ(midi.MidiOutDeviceOpenId("first:input"), -ENOENT);
  EXPECT_EQ(log.Count("MIDIPortConnect err = " + std::to_string(-ENOENT)), 1u);
  EXPECT_NE(Send(midi, a), 0);
  ASSERT_TRUE(second.WaitForCount(2, 2s));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Received(second), (std::vector<Bytes>{b, c}));
  EXPECT_EQ(inserted.Count(), 0u);
  second.Close();
  EXPECT_EQ(midi.MidiOutDeviceNumber(), 1u);
}

TEST_F(JackOutputTest, DestinationLostAfterASendIsOneDeliveryErrorAndFailsTheNextSends) {
  const auto disconnect = [](RecordingClient& r) {
    jack_disconnect(r.client(), "outputClient:outputPortName", r.FullPortName().c_str());
  };
  using Lose = std::function<void(RecordingClient&)>;
  for (const auto& [lose, status] : std::vector<std::pair<Lose, int32_t>>{
           {[](RecordingClient& r) { r.Close(); }, -ENOENT}, {disconnect, -ENOTCONN}}) {
    SCOPED_TRACE(status);
    RecordingClient recorder;
    ASSERT_TRUE(recorder.ok());
    MidiAPI midi;
    EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);  // nothing opened yet
    Open(midi, recorder);
    EXPECT_EQ(midi.DeliveryError(), 0);
    const Bytes m = Sysex(100);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Send(midi, m), 0);
    ASSERT_TRUE(recorder.WaitForCount(10, 2s));
    EXPECT_EQ(midi.DeliveryError(), 0);

    LogLines log;
    lose(recorder);
    ASSERT_TRUE(Eventually([&] { return midi.DeliveryError() != 0; }, 500ms));
    EXPECT_EQ(midi.DeliveryError(), status);
    const int32_t longStatus = Send(midi, m);
    const int32_t shortStatus = midi.SendShortMessage(0x90, 0x3C, 0x64);
    EXPECT_NE(longStatus, 0);
    EXPECT_NE(shortStatus, 0);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"MIDISend err = " + std::to_string(status),
                                        "MIDISend err = " + std::to_string(longStatus),
                                        "MIDISend err = " + std::to_string(shortStatus)}));
    EXPECT_EQ(recorder.Count(), 10u);
  }

  // A new client that takes the same name is not the opened destination: still refused.
  RecordingClient gone;
  MidiAPI midi;
  Open(midi, gone);
  gone.Close();
  RecordingClient again;
  ASSERT_TRUE(again.ok());
  EXPECT_NE(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);
  EXPECT_EQ(midi.DeliveryError(), 0);  // nothing was ever on its way
}

TEST_F(JackOutputTest, ServerDeathMakesSendsFailWithoutACrash) {
  std::string error;
  auto server = JackServer::Start(&error);  // its own, so that killing it spares the shared one
  ASSERT_NE(server, nullptr) << error;
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  Open(midi, recorder);
  ASSERT_EQ(midi.SendShortMessage(0x90, 0x3C, 0x64), 0);
  ASSERT_TRUE(recorder.WaitForCount(1, 2s));
  ASSERT_TRUE(server->Kill());
  // The client learns of the death asynchronously.
  EXPECT_TRUE(Eventually([&] { return midi.SendShortMessage(0x90, 0x3C, 0x64) != 0; }, 1s));
  EXPECT_NE(Send(midi, Sysex(1000)), 0);
  EXPECT_EQ(midi.MidiOutDeviceNumber(), 0u);
  EXPECT_EQ(midi.DeliveryError(), -ESHUTDOWN);
}

TEST_F(JackOutputTest, CyclesCutShortWhileMessagesAreOnTheirWayAreCountedAsWarnings) {
  // A server that does not wait for late clients, as a desktop one without real-time rights.
  std::string error;
  auto server = JackServer::Start(&error, 5s, /*sync=*/false);
  ASSERT_NE(server, nullptr) << error;
  RecordingClient recorder;
  ASSERT_TRUE(recorder.ok());
  MidiAPI midi;
  Open(midi, recorder);
  // Stalls three cycles, sending a note every 2 ms from before the stall to well after it.
  const auto stall = [&](bool sending) {
    for (int i = 0; i < 150; ++i) {
      if (i == 5) recorder.Stall(3, 50ms);
      if (sending) {
        EXPECT_EQ(midi.SendShortMessage(0x90, static_cast<uint8_t>(i), 1), 0);
      }
      std::this_thread::sleep_for(2ms);
    }
  };
  stall(false);  // idle: nothing could be lost, nothing is counted
  EXPECT_EQ(midi.DeliveryWarnings(), 0u);
  // On a loaded machine a stall may fall where the server was not cut short; it must be
  // counted by the tenth try.
  for (int attempt = 0; attempt < 10 && midi.DeliveryWarnings() == 0; ++attempt) stall(true);
  EXPECT_GT(midi.DeliveryWarnings(), 0u);
  Open(midi, recorder);
  EXPECT_EQ(midi.DeliveryWarnings(), 0u);
}

}  // namespace
}  // namespace midiflash::testing
