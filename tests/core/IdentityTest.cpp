// Identity Replies read out of a device's byte stream, whole or in pieces, and nothing else taken
// for one; the port a device answers from; the digest and the time a receipt records. The cases
// and what each must give are in tests/core/scripts/identity.txt.
#include <gtest/gtest.h>

#include "CoreFakes.h"
#include "Identity.h"
#include "Receipt.h"
#include "Sha256.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

MidiDestination Port(const std::string& id) {
  const size_t colon = id.find(':');
  return {id, id, id.substr(0, colon), id.substr(colon + 1)};
}

void Step(const std::vector<std::string>& w, std::string& out) {
  if (w[0] == "feed") {  // feed PIECE BYTES: the bytes PIECE at a time (0: all at once)
    const Bytes stream = FromHex(w.begin() + 2, w.end());
    const size_t piece = std::stoul(w[1]) ? std::stoul(w[1]) : stream.size();
    IdentityReplyParser parser;
    for (size_t at = 0; at < stream.size(); at += piece) {
      for (const DeviceIdentity& d :
           parser.Feed(stream.data() + at, std::min(piece, stream.size() - at))) {
        out += "reply " + IdentityText(d) + "\n";
      }
    }
  } else if (w[0] == "source") {  // source DESTINATION | SOURCE | SOURCE ...
    std::string line;
    for (size_t i = 1; i < w.size(); ++i) line += (i > 1 ? " " : "") + w[i];
    std::vector<MidiDestination> sources;
    for (size_t at = line.find(" | "); at != std::string::npos; at = line.find(" | ", at + 3)) {
      sources.push_back(Port(line.substr(at + 3, line.find(" | ", at + 3) - at - 3)));
    }
    const auto found = FindReplySource(Port(line.substr(0, line.find(" | "))), sources);
    out += "found " + (found ? found->id : "none") + "\n";
  } else if (w[0] == "sha256") {  // sha256 N TEXT: the digest of TEXT repeated N times
    std::string text;
    for (unsigned long i = 0; i < std::stoul(w[1]); ++i) text += w[2];
    out += Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()) + "\n";
  } else {
    EXPECT_EQ(w[0], "utc");  // utc SECONDS
    out += Iso8601Utc(std::stod(w[1])) + "\n";
  }
}

TEST(Identity, RepliesReplySourcesDigestsAndTimes) {
  const auto scripts = ReplayScripts(MIDIFLASH_SCRIPTS, "identity", [] { return Step; });
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(std::get<1>(scripts[0]), std::get<2>(scripts[0]));
}

}  // namespace
}  // namespace midiflash
