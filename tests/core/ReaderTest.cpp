// The one reader: every rule of ReadTrackEvent as a row of one table, then the record-based
// wrappers over it.
#include <gtest/gtest.h>

#include "Log.h"
#include "SmfBuilder.h"
#include "SmfReader.h"

namespace midiflash {
namespace {

using testing::Bytes;
using U = std::vector<uint32_t>;
constexpr ReadStep E = ReadStep::kEvent, X = ReadStep::kRefused, T = ReadStep::kEndOfTrack;
constexpr uint32_t kLast = UINT32_MAX - 5;  // a tick sum 5 below the last 32-bit value

struct StepCase {
  Bytes in;
  uint32_t runSts;  // running status before the step
  ReadStep step;
  uint32_t at;        // kRefused: CheckResult; else the kind (0 channel, 1 sysex, 2 escape, 3 meta)
  uint32_t where;     // kRefused: the offset; else where the cursor stands after it
  Bytes fields = {};  // status, data1, data2, dataOffset, dataLength, running, runSts after
  uint32_t ticks = 7;  // the tick sum before the step
};

TEST(ReadTrackEvent, EveryRuleOnItsBoundary) {
  const StepCase cases[] = {
      {{0x00, 0x90, 0x3C, 0x64}, 0, E, 0, 4, {0x90, 0x3C, 0x64, 0, 0, 0, 0x90}},
      {{0x00, 0xBF, 0x01, 0x7F}, 0, E, 0, 4, {0xBF, 0x01, 0x7F, 0, 0, 0, 0xBF}},
      {{0x00, 0xC0, 0x05}, 0x90, E, 0, 3, {0xC0, 0x05, 0, 0, 0, 0, 0xC0}},
      {{0x00, 0xDF, 0x10}, 0, E, 0, 3, {0xDF, 0x10, 0, 0, 0, 0, 0xDF}},
      {{0x00, 0xE0, 0x00, 0x40}, 0, E, 0, 4, {0xE0, 0x00, 0x40, 0, 0, 0, 0xE0}},
      {{0x00, 0x3C, 0x00}, 0x91, E, 0, 3, {0x91, 0x3C, 0x00, 0, 0, 1, 0x91}},
      {{0x00, 0x09}, 0xC5, E, 0, 2, {0xC5, 0x09, 0, 0, 0, 1, 0xC5}},
      {{0x00, 0xF0, 0x03, 0x43, 0x10, 0xF7}, 0x90, E, 1, 6, {0xF0, 0, 0, 3, 3, 0, 0x90}},
      {{0x00, 0xF7, 0x02, 0x43, 0x12}, 0, E, 2, 5, {0xF7, 0, 0, 3, 2, 0, 0}},
      {{0x00, 0xF0, 0x00}, 0, E, 1, 3, {0xF0, 0, 0, 3, 0, 0, 0}},
      {{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}, 0xB0, E, 3, 7, {0xFF, 0x51, 0, 4, 3, 0, 0xB0}},
      {{0x00, 0xFF, 0x2F, 0x00}, 0, T, 3, 4, {0xFF, 0x2F, 0, 4, 0, 0, 0}},
      // End of Track's data is never passed over, and only what exists of it is shown.
      {{0x00, 0xFF, 0x2F, 0x03, 0x01}, 0, T, 3, 4, {0xFF, 0x2F, 0, 4, 1, 0, 0}},
      // Length fields past 32 bits lose their high groups, as delta times do.
      {{0x00, 0xF0, 0x80, 0x80, 0x80, 0x80, 0x01, 0x41}, 0, E, 1, 8, {0xF0, 0, 0, 7, 1, 0, 0}},
      // Tick sums up to the last 32-bit value, and none past it.
      {{0x05, 0x90, 0x3C, 0x64}, 0, E, 0, 4, {0x90, 0x3C, 0x64, 0, 0, 0, 0x90}, kLast},
      {{0x06, 0x90, 0x3C, 0x64}, 0, X, kCheckTickOverflow, 0, {}, kLast},
      {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64}, 0, X, kCheckTickOverflow, 0, {}, 1},
      // Refusals: the image ends at an event, inside one, or inside its data.
      {{}, 0, X, kCheckNoEndOfTrack, 0},
      {{0x81}, 0, X, kCheckEventCut, 1},
      {{0x00}, 0, X, kCheckEventCut, 1},
      {{0x00, 0x90, 0x3C}, 0, X, kCheckEventCut, 3},
      {{0x00, 0x3C}, 0x90, X, kCheckEventCut, 2},
      {{0x00, 0xC0}, 0, X, kCheckEventCut, 2},
      {{0x00, 0xF0, 0x85}, 0, X, kCheckEventCut, 3},
      {{0x00, 0xF0, 0x03, 0x01, 0x02}, 0, X, kCheckEventCut, 3},
      {{0x00, 0xFF}, 0, X, kCheckEventCut, 2},
      {{0x00, 0xFF, 0x01, 0x02, 0x41}, 0, X, kCheckEventCut, 4},
      // Strict rules.
      {{0x00, 0xF1, 0x00, 0x00}, 0x90, X, kCheckSystemStatus, 1},
      {{0x00, 0xF8}, 0, X, kCheckSystemStatus, 1},
      {{0x00, 0xFE}, 0, X, kCheckSystemStatus, 1},
      {{0x05, 0x3C, 0x40}, 0, X, kCheckNoRunningStatus, 1},
      {{0x00, 0x7F}, 0, X, kCheckNoRunningStatus, 1},
      {{0x00, 0x90, 0xCC, 0x40}, 0, X, kCheckDataByteHigh, 2},
      {{0x00, 0x90, 0x3C, 0x80}, 0, X, kCheckDataByteHigh, 3},
      {{0x00, 0xC0, 0x80}, 0, X, kCheckDataByteHigh, 2},
      {{0x00, 0x3C, 0xFF}, 0x90, X, kCheckDataByteHigh, 2},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    TrackCursor cur{0, c.runSts, c.ticks};
    SmfEvent e;
    ReadRefusal why;
    ASSERT_EQ(ReadTrackEvent(c.in.data(), uint32_t(c.in.size()), cur, e, why), c.step);
    if (c.step == X) {  // the cursor stays where it was
      EXPECT_EQ((U{uint32_t(why.result), why.offset, cur.pos, cur.runSts, cur.ticks}),
                (U{c.at, c.where, 0, c.runSts, c.ticks}));
      continue;
    }
    EXPECT_EQ((U{uint32_t(e.kind), cur.pos, cur.ticks, e.tick}),
              (U{c.at, c.where, c.ticks + c.in[0], c.ticks + c.in[0]}));
    EXPECT_EQ((Bytes{e.status, e.data1, e.data2, uint8_t(e.dataOffset), uint8_t(e.dataLength),
                     e.runningStatus, uint8_t(cur.runSts)}),
              c.fields);
    EXPECT_EQ(e.WireBytes(), e.kind == EventKind::kChannel ? 1 + ChannelDataBytes(e.status)
                             : e.kind == EventKind::kMeta  ? 0
                                                           : e.dataLength + 1u);
  }
}

struct ReaderFixture : ::testing::Test {
  PlayerState s;
  SmfReader r{s};
  std::vector<std::string> log;
  ScopedLogCapture capture{[this](const std::string& l) { log.push_back(l); }};
  SmfTrack& Load(const Bytes& b) {
    s.SMF = b;
    s.SmfSize = b.size();
    return s.sTrk[0] = SmfTrack{};
  }
};

TEST_F(ReaderFixture, NumbersOfAnyLengthNeverReadPastTheImage) {
  const struct {
    Bytes in;
    uint32_t value, taken;
  } cases[] = {{{0x81, 0x00}, 128, 2},
               {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 0xFFFFFFFFu, 5},
               {{0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 1, 7},
               {{0x81, 0x81}, (1u << 14) + (1u << 7), 2}};  // cut: the end reads as 0
  for (const auto& c : cases) {
    SmfTrack& t = Load(c.in);
    EXPECT_EQ(r.ReadVariNum(0), c.value);
    EXPECT_EQ(t.TrkPtr, c.taken);
  }
  SmfTrack& t = Load({0x01, 0xE0, 0x00, 0x00, 0x00, 0x06, 0x12});
  EXPECT_EQ((U{r.Read2Byte(0), r.Read4Byte(0), r.Read2Byte(0), t.TrkPtr}), (U{480, 6, 0x1200, 7}));
}

TEST_F(ReaderFixture, ReadEventFillsTheRecordLeavesDataToTheCallerAndLogsLongDeltas) {
  // A delta of 8000 ticks passes quietly, 8001 are logged.
  SmfTrack& t = Load({0x00, 0x90, 0x3C, 0x64, 0x00, 0x3C, 0x00, 0x00, 0xFF, 0x01, 0x00, 0xBE, 0x40,
                      0xC1, 0x05, 0x02, 0xF0, 0x02, 0x41, 0xF7, 0xBE, 0x41, 0x06, 0x00, 0xF8});
  const U want[] = {{0x90, 0x3C, 0x64, 3, 4, 0},     {0x90, 0x3C, 0x00, 3, 7, 0},
                    {0xFF, 0x01, 0x00, 0, 11, 0},    {0xC1, 0x05, 0x00, 2, 15, 8000},
                    {0xF0, 0x05, 0x00, 2, 18, 8002}, {0xC1, 0x06, 0x00, 2, 23, 16003}};
  for (const U& w : want) {
    ASSERT_EQ(r.ReadEvent(0), 1);
    EXPECT_EQ((U{t.Sts, t.Data1, t.Data2, t.DataLen, t.TrkPtr, uint32_t(t.WaitClock)}), w);
    if (t.Sts == 0xF0) t.TrkPtr += t.DataLen;  // SysEx: TrkPtr stood on its first data byte
  }
  EXPECT_EQ(log, (std::vector<std::string>{"delta_time > 8000", "status: c1"}));
  EXPECT_EQ((U{t.TotalClock, t.RunSts}), (U{16003, 0xC1}));
  EXPECT_EQ(r.ReadEvent(0), 0);  // F8 is refused and the record stays as it was
  EXPECT_EQ((U{uint32_t(r.refusal().result), r.refusal().offset}), (U{kCheckSystemStatus, 24}));
  EXPECT_EQ((U{t.TrkPtr, t.Sts, uint32_t(t.WaitClock)}), (U{23, 0xC1, 16003}));
  Load({0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64});  // 2^32 - 1 counts as -1: not logged
  ASSERT_EQ(r.ReadEvent(0), 1);
  EXPECT_EQ(s.sTrk[0].WaitClock, -1);
  EXPECT_EQ(log.size(), 2u);
}

}  // namespace
}  // namespace midiflash
