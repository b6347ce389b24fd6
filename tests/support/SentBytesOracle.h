// Judges what a run sent against the bytes of the file it played. It walks the file with its own
// small reader, written apart from the program's, and collects every message a complete run may
// send: the channel messages as they stand in the file (status taken from running status where
// the event has none), and the System Exclusive and escape events as their data offsets.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "SmfBuilder.h"

namespace midiflash::testing {

// The events of a file as a complete run plays them.
struct SmfWalk {
  bool ok = false;                   // header usable and every announced track reached End of Track
  std::vector<uint32_t> trackTicks;  // per walked track: its delta times summed modulo 2^32
  std::vector<Bytes> channel;        // channel messages, two or three bytes, in track order
  // Data of System Exclusive and escape events, as (image offset, byte count).
  std::vector<std::pair<uint32_t, uint32_t>> sysex;
};

namespace oracle_detail {

class Cursor {
 public:
  Cursor(const Bytes& img, uint64_t pos) : img_(img), pos_(pos) {}
  bool AtEnd() const { return pos_ >= img_.size(); }
  uint64_t pos() const { return pos_; }
  // False once a byte was asked for past the end.
  bool ok() const { return ok_; }
  uint8_t Byte() {
    if (pos_ >= img_.size()) {
      ok_ = false;
      return 0;
    }
    return img_[pos_++];
  }
  uint32_t Vlq() {
    uint32_t v = 0;
    for (;;) {
      uint8_t b = Byte();
      v = (v << 7) + (b & 0x7F);
      if (!(b & 0x80)) return v;
    }
  }
  bool Skip(uint32_t n) {
    if (n > img_.size() - pos_) return false;
    pos_ += n;
    return true;
  }

 private:
  const Bytes& img_;
  uint64_t pos_;
  bool ok_ = true;
};

// Walks one track from `top`. Returns false when it cannot reach an End of Track or meets what the
// program refuses: a data byte with nothing to run on, a system status other than F0, F7 and FF, a
// channel data byte of 0x80 or more, a tick sum past 32 bits. On success `next` is the offset just
// after the End of Track's length field.
inline bool WalkTrack(const Bytes& img, uint64_t top, SmfWalk& w, uint64_t& next) {
  Cursor c(img, top);
  uint8_t running = 0;
  uint64_t ticks = 0;
  while (!c.AtEnd()) {
    ticks += c.Vlq();
    const uint8_t sts = c.Byte();
    if (!c.ok() || ticks > 0xFFFFFFFFu) return false;
    if (sts < 0xF0) {
      if (sts < 0x80 && running == 0) return false;
      const uint8_t status = sts < 0x80 ? running : sts;
      const uint8_t d1 = sts < 0x80 ? sts : c.Byte();
      running = status;
      Bytes m{status, d1};
      if (status < 0xC0 || status >= 0xE0) m.push_back(c.Byte());
      if (!c.ok() || m[1] > 0x7F || m.back() > 0x7F) return false;
      w.channel.push_back(std::move(m));
    } else if (sts == 0xF0 || sts == 0xF7) {
      const uint32_t len = c.Vlq();
      const uint64_t at = c.pos();
      if (!c.ok() || !c.Skip(len)) return false;
      w.sysex.emplace_back(static_cast<uint32_t>(at), len);
    } else if (sts == 0xFF) {
      const uint8_t type = c.Byte();
      const uint32_t len = c.Vlq();
      if (!c.ok()) return false;
      if (type == 0x2F) {
        w.trackTicks.push_back(static_cast<uint32_t>(ticks));
        next = c.pos();
        return true;
      }
      if (!c.Skip(len)) return false;
    } else {
      return false;
    }
  }
  return false;
}

}  // namespace oracle_detail

// Walks the header and every announced track. Stops at the first thing it cannot walk, keeping
// what it collected up to there.
inline SmfWalk WalkSmf(const Bytes& img) {
  SmfWalk w;
  if (img.size() < 14 || std::memcmp(img.data(), "MThd\0\0\0\6", 8) != 0) return w;
  const unsigned format = img[8] << 8 | img[9];
  const unsigned tracks = img[10] << 8 | img[11];
  if (format > 1 || tracks > 33 || (img[12] & 0x80)) return w;
  uint64_t p = 14;
  for (unsigned i = 0; i < tracks; ++i) {
    if (p + 8 > img.size() || std::memcmp(img.data() + p, "MTrk", 4) != 0) return w;
    const uint64_t end =
        p + 8 + (uint64_t{img[p + 4]} << 24 | img[p + 5] << 16 | img[p + 6] << 8 | img[p + 7]);
    if (!oracle_detail::WalkTrack(img, p + 8, w, p)) return w;
    // Its events ran on past its declared end into the next chunk: it has no End of Track.
    if (end < p && end + 4 <= img.size() && std::memcmp(img.data() + end, "MTrk", 4) == 0) return w;
  }
  w.ok = true;
  return w;
}

class SentBytesOracle {
 public:
  explicit SentBytesOracle(const Bytes& image) : img_(image), walk_(WalkSmf(image)) {
    for (const Bytes& m : walk_.channel) ++channel_[m];
    for (const auto& [at, len] : walk_.sysex) sysex_by_len_[len].push_back(at);
  }

  const SmfWalk& walk() const { return walk_; }

  // Empty when `m` is a well-formed copy of file bytes; otherwise what is wrong with it.
  std::string Judge(const Bytes& m) const {
    if (m.empty()) return "an empty message";
    const uint8_t s = m[0];
    if (s >= 0x80 && s < 0xF0) {
      const size_t want = (s >= 0xC0 && s < 0xE0) ? 2 : 3;
      if (m.size() != want) return "channel message of " + std::to_string(m.size()) + " bytes";
      if (!channel_.count(m)) return "channel message " + Hex(m) + " stands nowhere in the file";
      return {};
    }
    if (s == 0xF0) {
      auto it = sysex_by_len_.find(static_cast<uint32_t>(m.size() - 1));
      if (it != sysex_by_len_.end()) {
        for (uint32_t at : it->second) {
          if (std::memcmp(img_.data() + at, m.data() + 1, m.size() - 1) == 0) return {};
        }
      }
      return "System Exclusive of " + std::to_string(m.size()) +
             " bytes matches the data of no event: " + Hex(m);
    }
    return "message with status " + Hex({s});
  }

  // Empty when every message of `sent` passes Judge; otherwise the first bad one and its index.
  std::string JudgeAll(const std::vector<Bytes>& sent) const {
    for (size_t i = 0; i < sent.size(); ++i) {
      std::string why = Judge(sent[i]);
      if (!why.empty()) return "message " + std::to_string(i) + ": " + why;
    }
    return {};
  }

  // Empty when `sent` holds every message of the file exactly once, in any order.
  std::string JudgeComplete(const std::vector<Bytes>& sent) const {
    std::string why = JudgeAll(sent);
    if (!why.empty()) return why;
    std::map<Bytes, int64_t> want = channel_;
    for (const auto& [at, len] : walk_.sysex) {
      Bytes m{0xF0};
      m.insert(m.end(), img_.begin() + at, img_.begin() + at + len);
      ++want[m];
    }
    for (const Bytes& m : sent) --want[m];
    for (const auto& [m, n] : want) {
      if (n > 0) return Hex(m) + " was sent " + std::to_string(n) + " times too few";
      if (n < 0) return Hex(m) + " was sent " + std::to_string(-n) + " times too many";
    }
    return {};
  }

  static std::string Hex(const Bytes& m) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < m.size() && i < 16; ++i) {
      if (i) out += ' ';
      out += digits[m[i] >> 4];
      out += digits[m[i] & 15];
    }
    if (m.size() > 16) out += " ...";
    return out;
  }

 private:
  Bytes img_;
  SmfWalk walk_;
  std::map<Bytes, int64_t> channel_;
  std::map<uint32_t, std::vector<uint32_t>> sysex_by_len_;
};

}  // namespace midiflash::testing
