// Small byte helpers for building Standard MIDI Files in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace midiflash::testing {

using Bytes = std::vector<uint8_t>;

// Variable-length number, most significant group first.
inline Bytes VarLen(uint32_t v) {
  Bytes out{static_cast<uint8_t>(v & 0x7F)};
  while (v >>= 7) out.insert(out.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
  return out;
}

inline Bytes Be16(uint16_t v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The events of one track, each appended with its delta time.
class TrackBuilder {
 public:
  TrackBuilder& Raw(const Bytes& b) {
    body_.insert(body_.end(), b.begin(), b.end());
    return *this;
  }
  // Delta time followed by the given body bytes as they stand.
  TrackBuilder& Event(uint32_t delta, const Bytes& body) { return Raw(VarLen(delta)).Raw(body); }
  TrackBuilder& SysEx(uint32_t delta, const Bytes& data) {
    return Event(delta, Cat({{0xF0}, VarLen(static_cast<uint32_t>(data.size())), data}));
  }
  TrackBuilder& Escape(uint32_t delta, const Bytes& data) {
    return Event(delta, Cat({{0xF7}, VarLen(static_cast<uint32_t>(data.size())), data}));
  }
  TrackBuilder& Meta(uint32_t delta, uint8_t type, const Bytes& data) {
    return Event(delta, Cat({{0xFF, type}, VarLen(static_cast<uint32_t>(data.size())), data}));
  }
  TrackBuilder& EndOfTrack(uint32_t delta = 0) { return Meta(delta, 0x2F, {}); }
  const Bytes& body() const { return body_; }

  // The whole chunk; `declared` overrides the length field.
  Bytes Chunk() const { return Chunk(static_cast<uint32_t>(body_.size())); }
  Bytes Chunk(uint32_t declared) const {
    return Cat({{'M', 'T', 'r', 'k'}, Be32(declared), body_});
  }

 private:
  Bytes body_;
};

inline Bytes Header(uint16_t format, uint16_t tracks, uint16_t division, uint32_t length = 6) {
  return Cat({{'M', 'T', 'h', 'd'}, Be32(length), Be16(format), Be16(tracks), Be16(division)});
}

// A whole file of the given tracks.
inline Bytes Smf(uint16_t format, uint16_t division, const std::vector<TrackBuilder>& tracks) {
  Bytes out = Header(format, static_cast<uint16_t>(tracks.size()), division);
  for (const TrackBuilder& t : tracks) {
    Bytes c = t.Chunk();
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

}  // namespace midiflash::testing
