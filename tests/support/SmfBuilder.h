// Small byte helpers for building Standard MIDI Files in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace midiflash::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// Variable-length number, most significant group first.
inline Bytes VarLen(uint32_t v) {
  Bytes out{uint8_t(v & 0x7F)};
  while (v >>= 7) out.insert(out.begin(), uint8_t(0x80 | (v & 0x7F)));
  return out;
}
inline Bytes Be16(uint16_t v) {
  return {uint8_t(v >> 8), uint8_t(v)};
}
inline Bytes Be32(uint32_t v) {
  return Cat({Be16(uint16_t(v >> 16)), Be16(uint16_t(v))});
}

// The events of one track, each appended with its delta time.
class TrackBuilder {
 public:
  TrackBuilder& Raw(const Bytes& b) { return body_.insert(body_.end(), b.begin(), b.end()), *this; }
  TrackBuilder& Event(uint32_t delta, const Bytes& body) { return Raw(VarLen(delta)).Raw(body); }
  TrackBuilder& SysEx(uint32_t dt, const Bytes& d) { return Event(dt, Cat({{0xF0}, Len(d)})); }
  TrackBuilder& Escape(uint32_t dt, const Bytes& d) { return Event(dt, Cat({{0xF7}, Len(d)})); }
  TrackBuilder& Meta(uint32_t delta, uint8_t type, const Bytes& d) {
    return Event(delta, Cat({{0xFF, type}, Len(d)}));
  }
  TrackBuilder& EndOfTrack(uint32_t delta = 0) { return Meta(delta, 0x2F, {}); }
  // The whole chunk; `declared` overrides the length field.
  Bytes Chunk() const { return Chunk(uint32_t(body_.size())); }
  Bytes Chunk(uint32_t declared) const {
    return Cat({{'M', 'T', 'r', 'k'}, Be32(declared), body_});
  }

 private:
  static Bytes Len(const Bytes& d) { return Cat({VarLen(uint32_t(d.size())), d}); }
  Bytes body_;
};

inline Bytes Header(uint16_t format, uint16_t tracks, uint16_t division, uint32_t length = 6) {
  return Cat({{'M', 'T', 'h', 'd'}, Be32(length), Be16(format), Be16(tracks), Be16(division)});
}
inline Bytes Smf(uint16_t format, uint16_t division, const std::vector<TrackBuilder>& tracks) {
  Bytes out = Header(format, uint16_t(tracks.size()), division);
  for (const TrackBuilder& t : tracks) out = Cat({out, t.Chunk()});
  return out;
}

}  // namespace midiflash::testing
