#include <gtest/gtest.h>

#include "FileCheck.h"
#include "SmfBuilder.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;
using ::testing::PrintToString;

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
    return t.Event(0, {0x90, 0x3C, 0x64}).Event(n, {0x80, 0x3C, 0x00}).EndOfTrack();
  }
};

TEST_F(CheckFixture, HeaderAndTracksWithTheirRefusals) {
  const Bytes h = Header(0, 0, 480);
  TrackBuilder a = Ticks(480), b = Ticks(1920), one = Ticks(1);  // Ticks(1) is 12 bytes
  std::vector<TrackBuilder> many;
  for (uint32_t i = 0; i < 33; ++i) many.push_back(Ticks(i + 1));
  TrackBuilder eot_data, hidden, stray, fits, open, quiet;
  eot_data.Event(10, {0x90, 0x3C, 0x64}).Meta(0, 0x2F, {1, 2, 3});
  hidden.SysEx(0, {0xFF, 0x2F, 0x00}).Meta(5, 0x01, {0xFF, 0x2F, 0x00}).EndOfTrack(7);
  stray.Event(0, {0x3C, 0x40}).EndOfTrack();
  fits.Event(0x0FFFFFFF, {0x90, 0x3C, 0x64});  // 16 × (2^28 - 1) + 15 = 2^32 - 1
  for (int i = 0; i < 15; ++i) fits.Event(0x0FFFFFFF, {0x3C, 0x00});
  fits.Event(15, {0x3C, 0x00}).EndOfTrack();
  open.Event(0, {0x90, 0x3C, 0x64}).Event(10, {0x80, 0x3C, 0x00});  // no End of Track
  quiet.EndOfTrack();
  const struct {
    Bytes in;
    int32_t result;
    uint32_t total;  // tTotalClock, also after a refusal (the tracks before it keep their scan)
    int32_t track;
    uint64_t offset;
  } cases[] = {
      // The header's tests in their order; every field is stored before any is tested.
      {{}, kCheckHeaderCut, 0, -1, 0},
      {{'X'}, kCheckNotSmf, 0, -1, 0},
      {{'M', 'T'}, kCheckHeaderCut, 0, -1, 2},
      {Cat({{'M', 'T', 'h', 'e'}, Be32(6), {0, 0, 0, 0, 1, 0xE0}}), kCheckNotSmf, 0, -1, 0},
      {Bytes(h.begin(), h.begin() + 7), kCheckHeaderCut, 0, -1, 7},
      {Cat({Header(0, 0, 480, 7), {0}}), kCheckNotSmf, 0, -1, 4},
      {Bytes(h.begin(), h.begin() + 13), kCheckHeaderCut, 0, -1, 13},
      {Header(2, 34, 0xE728), kCheckBadFormat, 0, -1, 8},
      {Header(1, 34, 0xE728), kCheckTooManyTracks, 0, -1, 10},
      {Header(1, 33, 0x8000), kCheckSmpteDivision, 0, -1, 12},
      {Header(1, 0, 0x7FFF), kCheckPlayable, 0, -1, 0},
      {Cat({Header(0, 2, 480), a.Chunk(3), b.Chunk(1000)}), kCheckPlayable, 1920, -1, 0},
      {Smf(1, 96, many), kCheckPlayable, 33, -1, 0},
      {Smf(1, 96, {fits}), kCheckPlayable, UINT32_MAX, -1, 0},
      {Cat({Header(1, 2, 480), a.Chunk(), {0x00}, b.Chunk()}), kCheckNoTrackChunk, 480, 1, 35},
      {Cat({Header(1, 1, 480), a.Chunk(), {1, 2, 3}}), kCheckPlayable, 480, -1, 0},
      {Cat({Header(1, 2, 96), eot_data.Chunk(), Ticks(5).Chunk()}), kCheckNoTrackChunk, 10, 1, 30},
      {Smf(1, 96, {hidden}), kCheckPlayable, 12, -1, 0},
      {Cat({Header(1, 1, 96), {'M', 'T', 'r', 'k', 0, 0}}), kCheckTrackChunkCut, 0, 0, 18},
      {Cat({Header(1, 1, 96), {'M', 'T', 'r'}}), kCheckTrackChunkCut, 0, 0, 14},
      {Cat({Header(1, 1, 96), {'M', 'X', 'r'}}), kCheckNoTrackChunk, 0, 0, 14},
      {Cat({Header(1, 1, 96), {'M', 'T', 'r', 'k', 0xFF, 0xFF, 0xFF, 0xFF}}), kCheckNoEndOfTrack, 0,
       0, 22},
      {Cat({Header(1, 2, 96), one.Chunk(), TrackBuilder().Raw({0, 0x90, 0x3C, 0x64}).Chunk()}),
       kCheckNoEndOfTrack, 1, 1, 46},
      // A reader's refusal names its track and byte offset; track 1's events begin at 42.
      // Running status carries over neither from track 0 nor from the table's last use.
      {Smf(1, 96, {one, stray}), kCheckNoRunningStatus, 1, 1, 43},
      // A track without End of Track reads on into the next chunk: it is named, not the next one
      // (with a third track: check's refusals).
      {Cat({Header(1, 1, 96), open.Chunk(), quiet.Chunk()}), kCheckNoEndOfTrack, 0, 0, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(PrintToString(c.in));
    s.sTrk[1].RunSts = 0x90;
    EXPECT_EQ(Check(c.in), c.result);
    EXPECT_EQ(s.tTotalClock, c.total);
    EXPECT_EQ(check.failure().track, c.track);
    EXPECT_EQ(check.failure().offset, c.offset);
  }
  // Every cut of a sound file is refused inside the cut: each copy is exactly n bytes long, so
  // that AddressSanitizer sees any read past it.
  TrackBuilder tempo, body;
  tempo.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  body.SysEx(0, Bytes(200, 0x11)).Event(0x4000, {0x90, 0x3C, 0x64}).Event(5, {0x3C, 0x00});
  const Bytes whole = Smf(1, 480, {tempo, body.EndOfTrack(1)});
  ASSERT_EQ(Check(whole), kCheckPlayable);
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_NE(Check(Bytes(whole.begin(), whole.begin() + n)), kCheckPlayable) << "cut at " << n;
    EXPECT_LE(check.failure().offset, n);
  }
  Check(Cat({Header(0, 0, 480, 7), {0}}));
  EXPECT_EQ(s.HeaderSize, 7u);
  Check(Header(2, 34, 480));
  EXPECT_EQ(s.SmfTracks, 34);
  s.SmfSize = uint64_t{1} << 32;  // too large to address: refused before anything is read
  EXPECT_EQ(check.SmfPlaySet(), kCheckTooLarge);
}

}  // namespace
}  // namespace midiflash
