#include "SmfReader.h"

#include "Log.h"

namespace midiflash {

uint8_t SmfReader::TakeByte(SmfTrack& t) {
  // The cursor never moves past the end, so a later offset computation cannot wrap.
  if (t.TrkPtr >= s_.SMF.size()) {
    overran_ = true;
    return 0;
  }
  return s_.SMF[t.TrkPtr++];
}

uint16_t SmfReader::Read2Byte(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  uint16_t hi = TakeByte(t);
  uint16_t lo = TakeByte(t);
  return static_cast<uint16_t>(hi << 8 | lo);
}

uint32_t SmfReader::Read4Byte(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | TakeByte(t);
  return v;
}

uint32_t SmfReader::VariNum(SmfTrack& t) {
  const uint8_t c_bit = static_cast<uint8_t>(s_.cvnum.C_BIT);
  const uint8_t v_num = static_cast<uint8_t>(s_.cvnum.V_NUM);
  uint32_t value = 0;
  // No limit on the byte count: a long run of continuation bytes only shifts the high bits out.
  // The image end stops it, since TakeByte then yields 0 with the continuation bit clear.
  for (;;) {
    uint8_t b = TakeByte(t);
    value = (value << 7) + (b & v_num);
    if ((b & c_bit) == 0) break;
  }
  return value;
}

uint32_t SmfReader::ReadVariNum(int32_t trk) {
  return VariNum(s_.sTrk[trk]);
}

uint8_t SmfReader::ReadEvent(int32_t trk) {
  SmfTrack& t = s_.sTrk[trk];
  const Cmidi& m = s_.cmidi;
  const bool was_overran = overran_;
  overran_ = false;

  uint32_t delta = VariNum(t);
  t.TotalClock += delta;
  t.WaitClock = static_cast<int32_t>(static_cast<uint32_t>(t.WaitClock) + delta);
  t.Sts = TakeByte(t);
  if (logging_ && static_cast<int32_t>(delta) > 8000) {
    LogLine("delta_time > 8000");
    LogLine("status: %02x", t.Sts);
  }

  const uint32_t note_off = static_cast<uint32_t>(m.NOTE_OFF);
  const uint32_t sysex = static_cast<uint32_t>(m.SYSEX);
  if (t.Sts < note_off) {
    if (t.RunSts == 0) {
      overran_ = overran_ || was_overran;
      return 0;
    }
    t.Data1 = t.Sts;
    t.Sts = t.RunSts;
  } else if (t.Sts < sysex) {
    t.Data1 = TakeByte(t);
  }

  if (t.Sts < sysex) {
    t.RunSts = t.Sts;
    if (t.Sts >= static_cast<uint32_t>(m.PROGRAM) && t.Sts < static_cast<uint32_t>(m.BENDER)) {
      t.Data2 = 0;
      t.DataLen = 2;
    } else {
      t.Data2 = TakeByte(t);
      t.DataLen = 3;
    }
  } else if (t.Sts == sysex || t.Sts == static_cast<uint32_t>(m.EOX)) {
    t.DataLen = VariNum(t);
  } else if (t.Sts == static_cast<uint32_t>(s_.csmf.META_STS)) {
    t.Data1 = TakeByte(t);
    t.DataLen = VariNum(t);
  }

  const bool cut = overran_;
  overran_ = overran_ || was_overran;
  return cut ? 0 : 1;
}

}  // namespace midiflash
