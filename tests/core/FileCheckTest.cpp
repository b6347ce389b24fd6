// The file check and track scan.
#include <gtest/gtest.h>

#include "FileCheck.h"
#include "SmfBuilder.h"

namespace midiflash {
namespace {

using testing::Be32;
using testing::Bytes;
using testing::Cat;
using testing::Header;
using testing::Smf;
using testing::TrackBuilder;

struct CheckFixture : ::testing::Test {
  PlayerState s;
  SmfReader r{s};
  FileCheck check{s, r};

  int32_t Check(const Bytes& b) {
    s.SMF = b;
    s.SmfSize = b.size();
    return check.SmfPlaySet();
  }
  static TrackBuilder Ticks(uint32_t n) {
    TrackBuilder t;
    t.Event(0, {0x90, 0x3C, 0x64}).Event(n, {0x80, 0x3C, 0x00}).EndOfTrack();
    return t;
  }
};

TEST_F(CheckFixture, TheTwoTrackExampleWithItsFieldValues) {
  const Bytes image = {0x4D, 0x54, 0x68, 0x64, 0x00, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00, 0x02,
                       0x01, 0xE0, 0x4D, 0x54, 0x72, 0x6B, 0x00, 0x00, 0x00, 0x0B, 0x00, 0xFF,
                       0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xFF, 0x2F, 0x00, 0x4D, 0x54, 0x72,
                       0x6B, 0x00, 0x00, 0x00, 0x12, 0x00, 0xF0, 0x03, 0x43, 0x10, 0xF7, 0x83,
                       0x60, 0x90, 0x3C, 0x64, 0x00, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00};
  ASSERT_EQ(image.size(), 59u);
  ASSERT_EQ(Check(image), kCheckPlayable);
  EXPECT_EQ(s.HeaderSize, 6u);
  EXPECT_EQ(s.SmfFormat, 1);
  EXPECT_EQ(s.SmfTracks, 2);
  EXPECT_EQ(s.SmfDivision, 480);
  EXPECT_EQ(s.sTrk[0].TrkSize, 11u);
  EXPECT_EQ(s.sTrk[0].TrkTop, 22u);
  EXPECT_EQ(s.sTrk[0].TotalClock, 0u);
  EXPECT_EQ(s.sTrk[1].TrkSize, 18u);
  EXPECT_EQ(s.sTrk[1].TrkTop, 41u);
  EXPECT_EQ(s.sTrk[1].TotalClock, 480u);
  EXPECT_EQ(s.sTrk[1].TrkPtr, 59u);
  EXPECT_EQ(s.sTrk[1].Sts, 0xFFu);
  EXPECT_EQ(s.sTrk[1].Data1, 0x2Fu);
  EXPECT_EQ(s.tTotalClock, 480u);
}

TEST_F(CheckFixture, HeaderTestsInTheirOrder) {
  EXPECT_EQ(Check(Cat({{'M', 'T', 'h', 'e'}, Be32(6), {0, 0, 0, 0, 1, 0xE0}})), kCheckNotSmf);
  EXPECT_EQ(Check(Cat({Header(0, 0, 480, 7), {0}})), kCheckNotSmf);
  EXPECT_EQ(s.HeaderSize, 7u);
  EXPECT_EQ(Check(Header(2, 1, 480)), kCheckBadFormat);
  EXPECT_EQ(Check(Header(2, 34, 480)), kCheckBadFormat);  // format is tested first
  EXPECT_EQ(s.SmfTracks, 34);  // all three fields are stored before any is tested
  EXPECT_EQ(Check(Header(1, 34, 480)), kCheckTooManyTracks);
  EXPECT_EQ(Check(Header(1, 0, 0)), kCheckPlayable);
  EXPECT_EQ(s.tTotalClock, 0u);
  EXPECT_EQ(Check(Header(1, 0, 0xE728)), kCheckPlayable);
  EXPECT_EQ(s.SmfDivision, 0xE728);
}

TEST_F(CheckFixture, ThirtyThreeTracksFillTheTable) {
  std::vector<TrackBuilder> tracks;
  for (uint32_t i = 0; i < 33; ++i) tracks.push_back(Ticks(i + 1));
  ASSERT_EQ(Check(Smf(1, 96, tracks)), kCheckPlayable);
  EXPECT_EQ(s.sTrk[32].TotalClock, 33u);
  EXPECT_EQ(s.tTotalClock, 33u);
  tracks.push_back(Ticks(1));
  EXPECT_EQ(Check(Smf(1, 96, tracks)), kCheckTooManyTracks);
}

TEST_F(CheckFixture, TracksFollowTheirEndOfTrackNotTheirDeclaredLength) {
  TrackBuilder a = Ticks(480), b = Ticks(1920);
  // A wrong declared length is accepted.
  EXPECT_EQ(Check(Cat({Header(0, 2, 480), a.Chunk(3), b.Chunk(1000)})), kCheckPlayable);
  EXPECT_EQ(s.tTotalClock, 1920u);
  EXPECT_EQ(s.SmfFormat, 0);
  // Another chunk between two tracks, or one stray byte, is refused.
  const Bytes junk = Cat({{'X', 'Y', 'Z', 'W'}, Be32(0)});
  EXPECT_EQ(Check(Cat({Header(1, 2, 480), a.Chunk(), junk, b.Chunk()})), kCheckNoTrackChunk);
  EXPECT_EQ(check.failure().track, 1);
  EXPECT_EQ(check.failure().offset, 14u + a.Chunk().size());
  EXPECT_EQ(s.tTotalClock, 480u);  // the tracks before the refusal keep their scan
  EXPECT_EQ(Check(Cat({Header(1, 2, 480), a.Chunk(), {0x00}, b.Chunk()})), kCheckNoTrackChunk);
  // Whatever follows the last track is never looked at.
  EXPECT_EQ(Check(Cat({Header(1, 1, 480), a.Chunk(), {1, 2, 3}})), kCheckPlayable);
  // A shorter file loaded afterwards gets its own length.
  EXPECT_EQ(Check(Smf(1, 480, {Ticks(480)})), kCheckPlayable);
  EXPECT_EQ(s.tTotalClock, 480u);
}

TEST_F(CheckFixture, EndOfTrackWithDataAndEndOfTrackBytesInsideData) {
  TrackBuilder eot_with_data;
  eot_with_data.Event(10, {0x90, 0x3C, 0x64}).Meta(0, 0x2F, {1, 2, 3});
  // The next chunk is sought on the End of Track's first data byte.
  EXPECT_EQ(Check(Cat({Header(1, 2, 96), eot_with_data.Chunk(), Ticks(5).Chunk()})),
            kCheckNoTrackChunk);
  EXPECT_EQ(Check(Cat({Header(1, 1, 96), eot_with_data.Chunk()})), kCheckPlayable);

  TrackBuilder hidden;
  hidden.SysEx(0, {0xFF, 0x2F, 0x00}).Meta(5, 0x01, {0xFF, 0x2F, 0x00}).EndOfTrack(7);
  ASSERT_EQ(Check(Smf(1, 96, {hidden})), kCheckPlayable);
  EXPECT_EQ(s.tTotalClock, 12u);
}

TEST_F(CheckFixture, ScanStartsEveryTrackWithoutRunningStatus) {
  // The table still holds a running status from an earlier file; a track that opens with a data
  // byte must be scanned as playback will read it: the byte is passed over on its own.
  ASSERT_EQ(Check(Smf(1, 96, {Ticks(3)})), kCheckPlayable);
  ASSERT_EQ(s.sTrk[0].RunSts, 0x80u);
  TrackBuilder t;
  t.Event(0, {0x3C}).Event(0, {0x40}).EndOfTrack(2);
  ASSERT_EQ(Check(Smf(1, 96, {t})), kCheckPlayable);
  EXPECT_EQ(s.tTotalClock, 2u);
}

TEST_F(CheckFixture, EveryTruncationIsRefusedInsideTheImage) {
  TrackBuilder a, b;
  a.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  b.SysEx(0, Bytes(200, 0x11))
      .Event(0x4000, {0x90, 0x3C, 0x64})
      .Event(5, {0x3C, 0x00})
      .EndOfTrack(1);
  const Bytes whole = Smf(1, 480, {a, b});
  ASSERT_EQ(Check(whole), kCheckPlayable);
  for (size_t n = 0; n < whole.size(); ++n) {
    // A copy of exactly n bytes, so that AddressSanitizer sees any read past it.
    int32_t result = Check(Bytes(whole.begin(), whole.begin() + n));
    EXPECT_NE(result, kCheckPlayable) << "cut at " << n;
    EXPECT_LE(check.failure().offset, n);
  }
  EXPECT_EQ(Check({}), kCheckHeaderCut);
  EXPECT_EQ(Check(Bytes(whole.begin(), whole.begin() + 10)), kCheckHeaderCut);
  EXPECT_EQ(Check({'M', 'T'}), kCheckHeaderCut);
  EXPECT_EQ(Check({'X'}), kCheckNotSmf);
}

TEST_F(CheckFixture, LengthsPastTheEndAndMissingEndOfTrack) {
  TrackBuilder no_eot;
  no_eot.Event(0, {0x90, 0x3C, 0x64});
  EXPECT_EQ(Check(Smf(1, 96, {no_eot})), kCheckNoEndOfTrack);
  TrackBuilder huge;
  huge.Event(0, {0xF0, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x01}).EndOfTrack();
  EXPECT_EQ(Check(Smf(1, 96, {huge})), kCheckEventCut);
  EXPECT_EQ(Check(Cat({Header(1, 1, 96), {'M', 'T', 'r', 'k', 0xFF, 0xFF, 0xFF, 0xFF}})),
            kCheckNoEndOfTrack);
  EXPECT_EQ(Check(Cat({Header(1, 2, 96), Ticks(1).Chunk()})), kCheckTrackChunkCut);
  // Too large to address: refused before anything else is read.
  s.SMF = Smf(1, 96, {Ticks(1)});
  s.SmfSize = uint64_t{1} << 32;
  EXPECT_EQ(check.SmfPlaySet(), kCheckTooLarge);
}

}  // namespace
}  // namespace midiflash
