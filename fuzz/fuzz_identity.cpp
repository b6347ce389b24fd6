// Arbitrary bytes, in pieces of a size the first byte chooses, through the Identity Reply reader,
// against a reference that reads the whole stream at once: realtime bytes dropped, then every
// F0, data bytes, F7 whose data fit the reader's bound and begin 7E <device> 06 02 with room for
// a maker, family, model and revision. Pieces must change nothing.
#include <algorithm>

#include "FuzzSupport.h"
#include "Identity.h"

using midiflash::DeviceIdentity;
using midiflash::IdentityReplyParser;
using midiflash::fuzz::Require;

namespace {

std::vector<DeviceIdentity> Reference(const uint8_t* data, size_t size) {
  std::vector<uint8_t> s;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] < 0xF8) s.push_back(data[i]);
  }
  std::vector<DeviceIdentity> replies;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != 0xF0) continue;
    size_t j = i + 1;
    while (j < s.size() && s[j] < 0x80) ++j;
    const std::vector<uint8_t> b(s.begin() + long(i) + 1, s.begin() + long(j));
    i = j - 1;  // a status byte that ends the message may begin the next
    if (j == s.size() || s[j] != 0xF7 || b.size() > IdentityReplyParser::kMaxMessage) continue;
    if (b.size() < 5 || b[0] != 0x7E || b[2] != 0x06 || b[3] != 0x02) continue;
    const size_t maker = b[4] == 0 ? 3 : 1;
    if (b.size() < 4 + maker + 8) continue;
    DeviceIdentity d;
    d.deviceId = b[1];
    d.manufacturer.assign(b.begin() + 4, b.begin() + 4 + long(maker));
    const uint8_t* f = b.data() + 4 + maker;
    d.family = uint16_t(f[0] + 128 * f[1]);
    d.model = uint16_t(f[2] + 128 * f[3]);
    std::copy(f + 4, f + 8, d.revision.begin());
    replies.push_back(d);
  }
  return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 16 + 1;
  ++data, --size;
  IdentityReplyParser parser;
  std::vector<DeviceIdentity> got;
  for (size_t at = 0; at < size; at += piece) {
    for (const DeviceIdentity& d : parser.Feed(data + at, std::min(piece, size - at))) {
      got.push_back(d);
    }
  }
  Require(got == Reference(data, size), "the replies differ from the reference's");
  return 0;
}
