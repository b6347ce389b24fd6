// Small byte helpers for building Standard MIDI Files in tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace midiflash::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& p : pieces) out.insert(out.end(), p.begin(), p.end());
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
struct TrackBuilder {
  Bytes body;
  TrackBuilder& Event(uint32_t dt, const Bytes& e) {
    return body = Cat({body, VarLen(dt), e}), *this;
  }
  TrackBuilder& SysEx(uint32_t dt, const Bytes& d) { return Event(dt, Cat({{0xF0}, Len(d)})); }
  TrackBuilder& Escape(uint32_t dt, const Bytes& d) { return Event(dt, Cat({{0xF7}, Len(d)})); }
  TrackBuilder& Meta(uint32_t dt, uint8_t type, const Bytes& d) {
    return Event(dt, Cat({{0xFF, type}, Len(d)}));
  }
  TrackBuilder& EndOfTrack(uint32_t dt = 0) { return Meta(dt, 0x2F, {}); }
  static Bytes Len(const Bytes& d) { return Cat({VarLen(uint32_t(d.size())), d}); }
};

inline Bytes Smf(uint16_t format, uint16_t division, const std::vector<TrackBuilder>& tracks) {
  Bytes out =
      Cat({{'M', 'T', 'h', 'd'}, Be(6, 4), Be(format, 2), Be(tracks.size(), 2), Be(division, 2)});
  for (const TrackBuilder& t : tracks)
    out = Cat({out, {'M', 'T', 'r', 'k'}, Be(t.body.size(), 4), t.body});
  return out;
}

// A file written as words: FORMAT DIVISION, then each track's events as words DELTA:EVENT, "|"
// between tracks. EVENT is "end" (End of Track), "f0*N" (an F0 event of N data bytes), "f0=HH,.."
// or "f7=HH,.." (an F0 or F7 event with those data bytes), "ffTT*N" or "ffTT=HH,.." (a meta event
// of type TT) or the event's own bytes "HH,..". "COUNTx" in front of a word repeats it.
inline Bytes SmfOf(std::vector<std::string>::const_iterator at,
                   std::vector<std::string>::const_iterator end) {
  std::vector<TrackBuilder> tracks(1);
  const auto number = [](const std::string& s, int base) { return std::stoul(s, nullptr, base); };
  const uint16_t format = uint16_t(number(at[0], 10)), division = uint16_t(number(at[1], 10));
  for (at += 2; at < end; ++at) {
    if (*at == "|") tracks.emplace_back();
    if (*at == "|") continue;
    const size_t x = at->find('x'), colon = at->find(':');
    const uint32_t dt = uint32_t(number(at->substr(x + 1, colon - x - 1), 10));  // x + 1: 0 if none
    const std::string ev = at->substr(colon + 1);
    const bool star = ev.find('*') != std::string::npos;
    const Bytes n(star ? number(ev.substr(ev.find('*') + 1), 10) : 0, 0x11);
    Bytes listed;
    std::istringstream in(ev.substr(ev.find('=') + 1));
    for (std::string h; std::getline(in, h, ',');) listed.push_back(uint8_t(number(h, 16)));
    for (unsigned long i = 0; i < (x == std::string::npos ? 1 : number(*at, 10)); ++i) {
      TrackBuilder& t = tracks.back();
      if (ev == "end") t.EndOfTrack(dt);
      if (ev.starts_with("f0")) t.SysEx(dt, star ? n : listed);
      if (ev.starts_with("f7")) t.Escape(dt, listed);
      if (ev.starts_with("ff")) t.Meta(dt, uint8_t(number(ev.substr(2, 2), 16)), star ? n : listed);
      if (ev != "end" && ev[0] != 'f') t.Event(dt, listed);
    }
  }
  return Smf(format, division, tracks);
}

}  // namespace midiflash::testing
