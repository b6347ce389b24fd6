// The byte and event readers over a track held in memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Log.h"
#include "PlayerState.h"
#include "SmfBuilder.h"
#include "SmfReader.h"

namespace midiflash {
namespace {

using testing::Bytes;

struct ReaderFixture : ::testing::Test {
  PlayerState s;
  SmfReader r{s};
  std::vector<std::string> log;
  ScopedLogCapture capture{[this](const std::string& l) { log.push_back(l); }};

  SmfTrack& Load(const Bytes& b) {
    s.SMF = b;
    s.SmfSize = b.size();
    s.sTrk[0] = SmfTrack{};
    return s.sTrk[0];
  }
};

TEST(Constants, PlayFlagWidensWithItsSign) {
  PlayerState s;
  EXPECT_EQ(s.PlayFlag(), 0xFFFFFF80u);
  SmfTrack t{};
  t.PlaySts = s.PlayFlag();
  EXPECT_TRUE(s.IsPlaying(t));
  t.PlaySts = 0;
  EXPECT_FALSE(s.IsPlaying(t));
  t.PlaySts = 0x80;  // the unwidened byte is not the flag
  EXPECT_FALSE(s.IsPlaying(t));
}

TEST_F(ReaderFixture, VariableLengthNumbersOfAnyLength) {
  struct Case {
    Bytes in;
    uint32_t value;
    uint32_t taken;
  } cases[] = {
      {{0x00}, 0, 1},
      {{0x7F}, 127, 1},
      {{0x81, 0x00}, 128, 2},
      {{0xFF, 0xFF, 0xFF, 0x7F}, (1u << 28) - 1, 4},
      {{0x90, 0x80, 0x80, 0x80, 0x00}, 0, 5},  // the set bit is shifted above bit 31
      {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 0xFFFFFFFFu, 5},
      {{0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 1, 7},  // high groups lost, low ones kept
  };
  for (const Case& c : cases) {
    SmfTrack& t = Load(c.in);
    EXPECT_EQ(r.ReadVariNum(0), c.value);
    EXPECT_EQ(t.TrkPtr, c.taken);
    EXPECT_FALSE(r.Overran());
  }
}

TEST_F(ReaderFixture, BigEndianNumbers) {
  Load({0x01, 0xE0, 0x00, 0x00, 0x00, 0x06});
  EXPECT_EQ(r.Read2Byte(0), 480);
  EXPECT_EQ(r.Read4Byte(0), 6u);
  EXPECT_EQ(s.sTrk[0].TrkPtr, 6u);
}

TEST_F(ReaderFixture, ChannelMessagesAndRunningStatus) {
  // Note on, then a running-status note, then a meta event, then running status again.
  SmfTrack& t =
      Load({0x00, 0x90, 0x3C, 0x64, 0x00, 0x3C, 0x00, 0x00, 0xFF, 0x01, 0x00, 0x05, 0x3E, 0x10});
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Sts, 0x90u);
  EXPECT_EQ(t.Data1, 0x3Cu);
  EXPECT_EQ(t.Data2, 0x64u);
  EXPECT_EQ(t.DataLen, 3u);
  EXPECT_EQ(t.RunSts, 0x90u);
  EXPECT_EQ(t.TrkPtr, 4u);
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Sts, 0x90u);
  EXPECT_EQ(t.Data1, 0x3Cu);
  EXPECT_EQ(t.Data2, 0u);
  EXPECT_EQ(t.TrkPtr, 7u);
  ASSERT_EQ(r.ReadEvent(0), 1);  // the meta event does not disturb the running status
  EXPECT_EQ(t.Sts, 0xFFu);
  EXPECT_EQ(t.Data1, 0x01u);
  EXPECT_EQ(t.DataLen, 0u);
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Sts, 0x90u);
  EXPECT_EQ(t.Data1, 0x3Eu);
  EXPECT_EQ(t.Data2, 0x10u);
  EXPECT_EQ(t.TotalClock, 5u);
  EXPECT_EQ(t.WaitClock, 5);
}

TEST_F(ReaderFixture, TwoByteMessagesUnderRunningStatus) {
  SmfTrack& t = Load({0x00, 0xC5, 0x07, 0x00, 0x09, 0x00, 0xF8, 0x00, 0x0A});
  t.Data2 = 0x55;
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Data1, 7u);
  EXPECT_EQ(t.Data2, 0u);
  EXPECT_EQ(t.DataLen, 2u);
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Sts, 0xC5u);
  EXPECT_EQ(t.Data1, 9u);
  EXPECT_EQ(t.TrkPtr, 5u);
  // A one-byte system status leaves everything else alone, running status included.
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Sts, 0xF8u);
  EXPECT_EQ(t.Data1, 9u);
  EXPECT_EQ(t.TrkPtr, 7u);
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Sts, 0xC5u);
  EXPECT_EQ(t.Data1, 10u);
}

TEST_F(ReaderFixture, SysExEscapeAndMetaLeaveTheirDataAhead) {
  SmfTrack& t = Load({0x00, 0xF0, 0x05, 0x43, 0x10, 0x4C, 0x00, 0xF7});
  t.Data1 = 0x11;
  t.Data2 = 0x22;
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(t.Sts, 0xF0u);
  EXPECT_EQ(t.DataLen, 5u);
  EXPECT_EQ(t.TrkPtr, 3u);
  EXPECT_EQ(t.Data1, 0x11u);
  EXPECT_EQ(t.Data2, 0x22u);

  Load({0x00, 0xF7, 0x02, 0x43, 0x12});
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(s.sTrk[0].Sts, 0xF7u);
  EXPECT_EQ(s.sTrk[0].DataLen, 2u);

  SmfTrack& m = Load({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(m.Data1, 0x51u);
  EXPECT_EQ(m.DataLen, 3u);
  EXPECT_EQ(m.TrkPtr, 4u);
}

TEST_F(ReaderFixture, DataByteWithoutRunningStatusFails) {
  SmfTrack& t = Load({0x05, 0x3C, 0x40});
  t.Data1 = 0x77;
  EXPECT_EQ(r.ReadEvent(0), 0);
  EXPECT_EQ(t.Sts, 0x3Cu);
  EXPECT_EQ(t.TrkPtr, 2u);
  EXPECT_EQ(t.Data1, 0x77u);
  EXPECT_EQ(t.WaitClock, 5);
  EXPECT_FALSE(r.Overran());
}

TEST_F(ReaderFixture, LongDeltaTimesAreLoggedAsSigned) {
  Load(Bytes{0xBE, 0x40, 0x90, 0x3C, 0x64});  // 8000
  r.ReadEvent(0);
  EXPECT_TRUE(log.empty());
  Load(Bytes{0xBE, 0x41, 0x90, 0x3C, 0x64});  // 8001
  r.ReadEvent(0);
  EXPECT_EQ(log, (std::vector<std::string>{"delta_time > 8000", "status: 90"}));
  log.clear();
  Load(Bytes{0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64});  // 2^32-1 counts as negative
  r.ReadEvent(0);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(s.sTrk[0].WaitClock, -1);
}

TEST_F(ReaderFixture, ReadsNeverLeaveTheImage) {
  // Each of these stops inside an event; the reader must report it and stay at the end.
  const Bytes cut[] = {{},
                       {0x81},
                       {0x00},
                       {0x00, 0x90, 0x3C},
                       {0x00, 0xC0},
                       {0x00, 0xF0},
                       {0x00, 0xF0, 0x85},
                       {0x00, 0xFF},
                       {0x00, 0xFF, 0x2F}};
  for (const Bytes& b : cut) {
    SmfTrack& t = Load(b);
    r.ClearOverrun();
    EXPECT_EQ(r.ReadEvent(0), 0) << ::testing::PrintToString(b);
    EXPECT_TRUE(r.Overran());
    EXPECT_EQ(t.TrkPtr, b.size());
  }
  SmfTrack& t = Load({0x00, 0x00});
  r.ClearOverrun();
  EXPECT_EQ(r.Read4Byte(0), 0u);
  EXPECT_TRUE(r.Overran());
  EXPECT_EQ(t.TrkPtr, 2u);
}

}  // namespace
}  // namespace midiflash
