// Small byte helpers for building Standard MIDI Files in tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace midiflash::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes VarLen(uint32_t v) {
  Bytes out{uint8_t(v & 0x7F)};
  while (v >>= 7) out.insert(out.begin(), uint8_t(0x80 | (v & 0x7F)));
  return out;
}
inline Bytes Be(uint64_t v, int n) {
  Bytes out;
  while (n-- > 0) out.push_back(uint8_t(v >> 8 * n));
  return out;
}

// Up to 16 bytes in hexadecimal, then how many there are.
inline std::string Hex(const Bytes& m) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < m.size() && i < 16; ++i) out += (std::snprintf(b, 4, " %02X", m[i]), b);
  return m.size() > 16 ? out + " ... (" + std::to_string(m.size()) + " bytes)" : out;
}

// The events of one track, each appended with its delta time.
class TrackBuilder {
 public:
  TrackBuilder& Raw(const Bytes& b) { return body_.insert(body_.end(), b.begin(), b.end()), *this; }
  TrackBuilder& Event(uint32_t dt, const Bytes& body) { return Raw(VarLen(dt)).Raw(body); }
  TrackBuilder& SysEx(uint32_t dt, const Bytes& d) { return Event(dt, Cat({{0xF0}, Len(d)})); }
  TrackBuilder& Escape(uint32_t dt, const Bytes& d) { return Event(dt, Cat({{0xF7}, Len(d)})); }
  TrackBuilder& Meta(uint32_t dt, uint8_t type, const Bytes& d) {
    return Event(dt, Cat({{0xFF, type}, Len(d)}));
  }
  TrackBuilder& EndOfTrack(uint32_t dt = 0) { return Meta(dt, 0x2F, {}); }
  // The whole chunk, `declared` (if given) in its length field.
  Bytes Chunk(int64_t declared = -1) const {
    return Cat({{'M', 'T', 'r', 'k'}, Be(declared < 0 ? body_.size() : declared, 4), body_});
  }

 private:
  static Bytes Len(const Bytes& d) { return Cat({VarLen(uint32_t(d.size())), d}); }
  Bytes body_;
};

inline Bytes Header(uint16_t format, uint16_t tracks, uint16_t division, uint32_t length = 6) {
  return Cat({{'M', 'T', 'h', 'd'}, Be(length, 4), Be(format, 2), Be(tracks, 2), Be(division, 2)});
}
inline Bytes Smf(uint16_t format, uint16_t division, const std::vector<TrackBuilder>& tracks) {
  Bytes out = Header(format, uint16_t(tracks.size()), division);
  for (const TrackBuilder& t : tracks) out = Cat({out, t.Chunk()});
  return out;
}

}  // namespace midiflash::testing
