#include "SmfReader.h"

#include "Log.h"

namespace midiflash {

uint8_t SmfReader::TakeByte(SmfTrack& t) {
  // The cursor never moves past the end, so a later offset computation cannot wrap.
  if (t.TrkPtr >= s_.SMF.size()) return 0;
  return s_.SMF[t.TrkPtr++];
}

uint16_t SmfReader::Read2Byte(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  const uint16_t hi = TakeByte(t);
  return static_cast<uint16_t>(hi << 8 | TakeByte(t));
}

uint32_t SmfReader::Read4Byte(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | TakeByte(t);
  return v;
}

uint32_t SmfReader::ReadVariNum(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  uint32_t v = 0;
  // The image end stops a run of continuation bytes: TakeByte then yields 0.
  for (;;) {
    const uint8_t b = TakeByte(t);
    v = (v << 7) + (b & static_cast<uint8_t>(s_.cvnum.V_NUM));
    if ((b & static_cast<uint8_t>(s_.cvnum.C_BIT)) == 0) return v;
  }
}

void SmfReader::LogLongDelta(uint32_t status) const {
  LogLine("delta_time > 8000");
  LogLine("status: %02x", status);
}

uint8_t SmfReader::ReadEvent(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  TrackCursor c{t.TrkPtr, t.RunSts, t.TotalClock};
  SmfEvent e;
  if (ReadTrackEvent(s_.SMF.data(), ImageSize(s_), c, e, refusal_) == ReadStep::kRefused) return 0;
  LogDelta(e.delta, e.status);
  t.TotalClock = c.ticks;
  t.WaitClock = static_cast<int32_t>(static_cast<uint32_t>(t.WaitClock) + e.delta);
  t.RunSts = c.runSts;
  t.Sts = e.status;
  if (e.kind == EventKind::kChannel) {
    t.Data1 = e.data1;
    t.Data2 = e.data2;
    t.DataLen = 1 + ChannelDataBytes(e.status);
    t.TrkPtr = c.pos;
  } else {
    if (e.kind == EventKind::kMeta) t.Data1 = e.data1;
    t.DataLen = e.dataLength;
    t.TrkPtr = e.dataOffset;
  }
  return 1;
}

}  // namespace midiflash
