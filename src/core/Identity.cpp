#include "Identity.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "MidiWire.h"

namespace midiflash {
namespace {

struct Manufacturer {
  std::array<uint8_t, 3> id;  // a 1-byte id in the first byte
  const char* name;
};

// The ids of makers whose devices take updates over MIDI most often; any other is shown by number.
constexpr Manufacturer kManufacturers[] = {
    {{0x01}, "Sequential"},
    {{0x04}, "Moog"},
    {{0x06}, "Lexicon"},
    {{0x07}, "Kurzweil"},
    {{0x0F}, "Ensoniq"},
    {{0x10}, "Oberheim"},
    {{0x11}, "Apple"},
    {{0x18}, "E-mu"},
    {{0x33}, "Clavia"},
    {{0x3E}, "Waldorf"},
    {{0x40}, "Kawai"},
    {{0x41}, "Roland"},
    {{0x42}, "Korg"},
    {{0x43}, "Yamaha"},
    {{0x44}, "Casio"},
    {{0x47}, "Akai"},
    {{0x7D}, "non-commercial"},
    {{0x00, 0x00, 0x0E}, "Alesis"},
    {{0x00, 0x01, 0x05}, "M-Audio"},
    {{0x00, 0x20, 0x29}, "Focusrite/Novation"},
    {{0x00, 0x20, 0x32}, "Behringer"},
    {{0x00, 0x20, 0x33}, "Access"},
    {{0x00, 0x20, 0x6B}, "Arturia"},
    {{0x00, 0x21, 0x1D}, "Ableton"},
};

constexpr uint8_t kUniversalNonRealTime = 0x7E;
constexpr uint8_t kGeneralInformation = 0x06;
constexpr uint8_t kIdentityReply = 0x02;

// The words a port's name tells its direction by, each with its opposite's placeholder.
std::string DirectionFree(const std::string& name) {
  static const char* const kWords[] = {"playback", "capture", "input", "output", "in", "out"};
  std::string out, word;
  const auto flush = [&] {
    std::string lower = word;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    const bool direction = std::any_of(std::begin(kWords), std::end(kWords),
                                       [&](const char* w) { return lower == w; });
    out += direction ? "\x01" : word;
    word.clear();
  };
  for (const char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      word += c;
    } else {
      flush();
      out += c;
    }
  }
  flush();
  return out;
}

std::string ClientOf(const std::string& id) {
  return id.substr(0, id.find(':'));
}

}  // namespace

bool DeviceIdentity::SameDevice(const DeviceIdentity& other) const {
  return deviceId == other.deviceId && manufacturer == other.manufacturer &&
         family == other.family && model == other.model;
}

std::string ManufacturerName(const std::vector<uint8_t>& id) {
  for (const Manufacturer& m : kManufacturers) {
    const size_t length = m.id[0] == 0 ? 3 : 1;
    if (id.size() == length && std::equal(id.begin(), id.end(), m.id.begin())) return m.name;
  }
  return {};
}

std::string ManufacturerId(const std::vector<uint8_t>& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const uint8_t b : id) {
    if (!out.empty()) out += ' ';
    out += {kHex[b >> 4], kHex[b & 15]};
  }
  return out;
}

std::vector<DeviceIdentity> IdentityReplyParser::Feed(const uint8_t* data, size_t size) {
  std::vector<DeviceIdentity> replies;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b >= 0xF8) continue;  // realtime: allowed between any two bytes
    if (b == kSysExStatus) {
      in_message_ = true;
      overflow_ = false;
      body_.clear();
    } else if (b == kEndOfExclusive) {
      if (in_message_ && !overflow_) {
        if (auto reply = Complete()) replies.push_back(*reply);
      }
      Reset();
    } else if (b & 0x80) {
      Reset();  // any other status ends a System Exclusive message unfinished
    } else if (in_message_) {
      if (body_.size() < kMaxMessage) {
        body_.push_back(b);
      } else {
        overflow_ = true;
      }
    }
  }
  return replies;
}

std::optional<DeviceIdentity> IdentityReplyParser::Complete() const {
  const std::vector<uint8_t>& m = body_;
  if (m.size() < 4 || m[0] != kUniversalNonRealTime || m[2] != kGeneralInformation ||
      m[3] != kIdentityReply) {
    return std::nullopt;
  }
  const size_t maker = m.size() > 4 && m[4] == 0 ? 3 : 1;
  const size_t at = 4 + maker;  // the family's first byte
  if (m.size() < at + 8) return std::nullopt;
  DeviceIdentity id;
  id.deviceId = m[1];
  id.manufacturer.assign(m.begin() + 4, m.begin() + long(at));
  id.family = uint16_t(m[at] | m[at + 1] << 7);
  id.model = uint16_t(m[at + 2] | m[at + 3] << 7);
  std::copy(m.begin() + long(at) + 4, m.begin() + long(at) + 8, id.revision.begin());
  return id;
}

std::optional<MidiDestination> FindReplySource(const MidiDestination& d,
                                               const std::vector<MidiDestination>& sources) {
  const std::string client = ClientOf(d.id), port = DirectionFree(d.portName);
  const MidiDestination* only = nullptr;
  size_t of_client = 0;
  for (const MidiDestination& s : sources) {
    if (s.id == d.id) return s;
  }
  for (const MidiDestination& s : sources) {
    if (ClientOf(s.id) != client) continue;
    if (DirectionFree(s.portName) == port) return s;
    only = &s;
    ++of_client;
  }
  if (of_client == 1) return *only;
  return std::nullopt;
}

void Identification::Begin(double now, double firstAfter, double interval, double wait,
                           std::optional<DeviceIdentity> expected) {
  parser_.Reset();
  expected_ = std::move(expected);
  reply_.reset();
  next_ = now + firstAfter;
  interval_ = interval;
  deadline_ = now + wait;
  active_ = true;
}

bool Identification::RequestDue(double now) {
  if (!active_ || now < next_ || now >= deadline_) return false;
  next_ = interval_ > 0 ? now + interval_ : std::numeric_limits<double>::infinity();
  return true;
}

bool Identification::Feed(const uint8_t* data, size_t size) {
  if (!active_) return false;
  for (const DeviceIdentity& reply : parser_.Feed(data, size)) {
    // Another device on the same cable, or the same one under another device id, is not the one
    // that was updated.
    if (expected_ && !expected_->SameDevice(reply)) continue;
    reply_ = reply;
    return true;
  }
  return false;
}

}  // namespace midiflash
