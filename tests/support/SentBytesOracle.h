// Judges what a run sent against the file it played, by walkers of its own written apart from the
// program's reader. Require aborts a fuzz target (libFuzzer keeps the input) where a check fails.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "SmfBuilder.h"

namespace midiflash::testing {

inline void Require(bool ok, const std::string& what) {
  if (!ok) std::fprintf(stderr, "fuzz violation: %s\n", what.c_str()), std::abort();
}

struct SmfWalk {
  bool ok = false;  // header usable and every announced track reached End of Track
  std::vector<uint32_t> trackTicks;
  std::vector<Bytes> channel;  // in track order
  // F0 and F7 events' data, or a System Exclusive file's messages after F0: offset, length.
  std::vector<std::pair<uint32_t, uint32_t>> sysex;
};

// Walks one track from `p` (left after End of Track); false where the program must refuse it.
inline bool WalkTrack(const Bytes& img, uint64_t& p, SmfWalk& w) {
  bool cut = false;
  const auto byte = [&]() -> uint8_t { return p < img.size() ? img[p++] : (cut = true, 0); };
  const auto vlq = [&] {
    uint32_t v = 0;
    for (uint8_t b = 0x80; b & 0x80;) v = (v << 7) + ((b = byte()) & 0x7F);
    return v;
  };
  uint8_t running = 0;
  for (uint64_t ticks = 0; p < img.size();) {
    ticks += vlq();
    const uint8_t sts = byte();
    if (cut || ticks > UINT32_MAX || (sts < 0x80 && running == 0)) return false;
    if (sts < 0xF0) {
      if (sts >= 0x80) running = sts;
      Bytes m{running, sts < 0x80 ? sts : byte()};
      if (running < 0xC0 || running >= 0xE0) m.push_back(byte());
      if (cut || m[1] > 0x7F || m.back() > 0x7F) return false;
      w.channel.push_back(m);
      continue;
    }
    if (sts != 0xF0 && sts != 0xF7 && sts != 0xFF) return false;
    const uint8_t type = sts == 0xFF ? byte() : 0;
    const uint32_t len = vlq();
    if (cut) return false;
    if (sts == 0xFF && type == 0x2F) return w.trackTicks.push_back(uint32_t(ticks)), true;
    if (len > img.size() - p) return false;
    if (sts != 0xFF) w.sysex.emplace_back(uint32_t(p), len);
    p += len;
  }
  return false;
}

// The header and every announced track, up to the first thing the walk cannot pass.
inline SmfWalk WalkSmf(const Bytes& img) {
  SmfWalk w;
  if (img.size() < 14 || std::memcmp(img.data(), "MThd\0\0\0\6", 8) != 0) return w;
  const unsigned tracks = img[10] << 8 | img[11];
  if (img[8] != 0 || img[9] > 1 || tracks > 33 || (img[12] & 0x80) || !(img[12] | img[13])) {
    return w;
  }
  for (uint64_t p = 14, i = 0; i < tracks; ++i) {
    if (p + 8 > img.size() || std::memcmp(&img[p], "MTrk", 4) != 0) return w;
    const uint64_t end =
        p + 8 + (uint64_t{img[p + 4]} << 24 | img[p + 5] << 16 | img[p + 6] << 8 | img[p + 7]);
    p += 8;
    if (!WalkTrack(img, p, w)) return w;
    // Events that ran on past the declared end into the next chunk: no End of Track of its own.
    if (end < p && end + 4 <= img.size() && std::memcmp(&img[end], "MTrk", 4) == 0) return w;
  }
  w.ok = true;
  return w;
}

// F0 first: whole messages, F0, bytes below 80, F7, up to the last byte.
inline SmfWalk WalkSysEx(const Bytes& img) {
  SmfWalk w;
  for (auto at = img.begin(); at != img.end();) {
    const auto end = std::find_if(at + 1, img.end(), [](uint8_t b) { return b & 0x80; });
    if (*at != 0xF0 || end == img.end() || *end != 0xF7) return w;
    w.sysex.emplace_back(uint32_t(at + 1 - img.begin()), uint32_t(end - at));
    at = end + 1;
  }
  w.ok = !img.empty();
  return w;
}

inline SmfWalk WalkFile(const Bytes& img) {
  return !img.empty() && img[0] == 0xF0 ? WalkSysEx(img) : WalkSmf(img);
}

// What is wrong with `sent`: a message sent more often than the file has it, or (`complete`) less.
inline std::string JudgeSent(const Bytes& img, const std::vector<Bytes>& sent, bool complete) {
  const SmfWalk w = WalkFile(img);
  std::map<Bytes, int64_t> left;
  for (const Bytes& m : w.channel) ++left[m];
  for (const auto& [at, n] : w.sysex)
    ++left[Cat({{0xF0}, Bytes(img.begin() + at, img.begin() + at + n)})];
  for (const Bytes& m : sent) {
    if (--left[m] < 0) return Hex(m) + " sent more often than the file holds it";
  }
  for (const auto& [m, n] : left) {
    if (complete && n > 0) return Hex(m) + " sent too few times";
  }
  return {};
}

}  // namespace midiflash::testing
