// Bytes in pieces (the first byte says how large) through the Identity Reply reader, against a
// reference that reads them whole: realtime bytes dropped, every F0 data F7 within the reader's
// bound that begins 7E <device> 06 02 and holds a maker, family, model and revision.
#include <algorithm>
#include <iterator>

#include "Identity.h"
#include "SentBytesOracle.h"

using namespace midiflash;

static std::vector<DeviceIdentity> Reference(const uint8_t* data, size_t size) {
  std::vector<uint8_t> s;
  std::copy_if(data, data + size, std::back_inserter(s), [](uint8_t b) { return b < 0xF8; });
  std::vector<DeviceIdentity> replies;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != 0xF0) continue;
    size_t j = i + 1;
    while (j < s.size() && s[j] < 0x80) ++j;
    const std::vector<uint8_t> b(s.begin() + long(i) + 1, s.begin() + long(j));
    i = j - 1;  // a status byte that ends the message may begin the next
    const long maker = b.size() > 4 && b[4] == 0 ? 3 : 1;
    if (j < s.size() && s[j] == 0xF7 && b.size() <= IdentityReplyParser::kMaxMessage &&
        b.size() >= size_t(12 + maker) && b[0] == 0x7E && b[2] == 0x06 && b[3] == 0x02) {
      const uint8_t* f = b.data() + 4 + maker;
      replies.push_back({b[1],
                         {b.begin() + 4, b.begin() + 4 + maker},
                         uint16_t(f[0] + 128 * f[1]),
                         uint16_t(f[2] + 128 * f[3]),
                         {f[4], f[5], f[6], f[7]}});
    }
  }
  return replies;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 16 + 1;
  IdentityReplyParser parser;
  std::vector<DeviceIdentity> got;
  for (size_t at = 1; at < size; at += piece) {
    const std::vector<DeviceIdentity> replies = parser.Feed(data + at, std::min(piece, size - at));
    got.insert(got.end(), replies.begin(), replies.end());
  }
  testing::Require(got == Reference(data + 1, size - 1), "the replies differ from the reference's");
  return 0;
}
