// Identity Replies read out of a device's byte stream, whole or in pieces, and nothing else taken
// for one; the port a device answers from; the digest and the time a receipt records.
#include <gtest/gtest.h>

#include "Identity.h"
#include "Receipt.h"
#include "Sha256.h"
#include "SmfBuilder.h"
#include "StatusText.h"

namespace midiflash {
namespace {

using testing::Bytes;
using testing::Cat;

// Roland, family 0x0119 (19 02), model 0x00B3 (33 01), revision 1.0.2.0, device 10.
const Bytes kHead{0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41}, kTail{0x19, 0x02, 0x33, 0x01, 1, 0, 2, 0};
const std::string kRoland =
    "Roland (41), family 0x0119, model 0x00B3, software revision 1.0.2.0, device ID 0x10";

TEST(IdentityReplyParser, TakesRepliesInAnyPiecesAndNothingElse) {
  const Bytes reply = Cat({kHead, kTail, {0xF7}});
  const struct {
    const char* name;
    Bytes stream;
    size_t piece;  // fed this many bytes at a time; 0: all at once
    std::vector<std::string> replies;
  } cases[] = {
      {"whole", reply, 0, {kRoland}},
      {"a byte at a time, clocks inside",
       Cat({{0xF8}, kHead, {0xF8, 0xFE}, kTail, {0xF7}}),
       1,
       {kRoland}},
      {"in pieces of 4, twice", Cat({reply, reply}), 4, {kRoland, kRoland}},
      {"a maker of three bytes without a name, more bytes after the revision",
       Cat({{0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x21, 0x7F}, kTail, {0x55, 0xF7}}),
       0,
       {"manufacturer 00 21 7F, family 0x0119, model 0x00B3, software revision 1.0.2.0, device "
        "ID 0x7F"}},
      {"a new F0 begins anew", Cat({{0xF0, 0x7E, 0x10}, reply}), 0, {kRoland}},
      {"the request echoed", Bytes(kIdentityRequest.begin(), kIdentityRequest.end()), 0, {}},
      {"another sub-id", Cat({{0xF0, 0x7E, 0x10, 0x06, 0x03, 0x41}, kTail, {0xF7}}), 0, {}},
      {"not universal", Cat({{0xF0, 0x7D, 0x10, 0x06, 0x02, 0x41}, kTail, {0xF7}}), 0, {}},
      {"a byte short", Cat({kHead, Bytes(kTail.begin(), kTail.end() - 1), {0xF7}}), 0, {}},
      {"a long maker id cut short",
       Cat({{0xF0, 0x7E, 0x10, 0x06, 0x02, 0x00, 0x21}, kTail, {0xF7}}),
       0,
       {}},
      {"a note inside, then its data and F7", Cat({kHead, {0x90, 0x40}, kTail, {0xF7}}), 2, {}},
      {"longer than any reply", Cat({kHead, kTail, Bytes(60, 0), {0xF7}}), 7, {}},
      {"F7 alone, data alone", Cat({{0xF7}, kTail, {0xF7}}), 0, {}},
  };
  for (const auto& c : cases) {
    IdentityReplyParser parser;
    std::vector<std::string> got;
    const size_t piece = c.piece ? c.piece : c.stream.size();
    for (size_t at = 0; at < c.stream.size(); at += piece) {
      for (const DeviceIdentity& d :
           parser.Feed(c.stream.data() + at, std::min(piece, c.stream.size() - at))) {
        got.push_back(IdentityText(d));
      }
    }
    EXPECT_EQ(got, c.replies) << c.name;
  }
}

TEST(FindReplySource, TheSamePortThenTheOtherDirectionThenTheClientsOnlySource) {
  using L = std::vector<MidiDestination>;
  const auto port = [](const std::string& id) {
    const size_t colon = id.find(':');
    return MidiDestination{id, id, id.substr(0, colon), id.substr(colon + 1)};
  };
  const struct {
    std::string destination;
    std::vector<std::string> sources;
    std::string found;  // "": none
  } cases[] = {
      {"20:0", {"14:0", "20:1", "20:0"}, "20:0"},
      {"system:midi_playback_2",
       {"system:midi_capture_1", "system:midi_capture_2", "other:midi_capture_2"},
       "system:midi_capture_2"},
      {"a2j:UM-ONE [20] (playback): UM-ONE MIDI 1",
       {"a2j:Pad [21] (capture): Pad MIDI 1", "a2j:UM-ONE [20] (capture): UM-ONE MIDI 1"},
       "a2j:UM-ONE [20] (capture): UM-ONE MIDI 1"},
      {"dev:In", {"dev:OUT"}, "dev:OUT"},
      {"dev:in", {"dev:events"}, "dev:events"},
      {"dev:in", {"dev:a", "dev:b"}, ""},
      {"dev:in", {"device:out", "other:dev"}, ""},
  };
  for (const auto& c : cases) {
    L sources;
    for (const std::string& s : c.sources) sources.push_back(port(s));
    const auto found = FindReplySource(port(c.destination), sources);
    EXPECT_EQ(found ? found->id : "", c.found) << c.destination;
  }
}

TEST(Receipt, TheDigestAndTheTimeAreThoseOfTheStandards) {
  const struct {
    std::string bytes;
    const char* sha256;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(v.bytes.data()), v.bytes.size()), v.sha256)
        << v.bytes.size();
  }
  EXPECT_EQ(Iso8601Utc(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(Iso8601Utc(1.8e9 + 59.9996), "2027-01-15T08:01:00.000Z");
  EXPECT_EQ(Iso8601Utc(1709164800.25), "2024-02-29T00:00:00.250Z");
}

}  // namespace
}  // namespace midiflash
