// Arbitrary bytes through the file check; every event of an accepted file is then read by the
// event walk (dump) and counted by the cable analysis, and compared with the oracle's own walker:
// the same events and track lengths where the check accepts, and a file the oracle cannot walk
// where it refuses. Playback's reading is judged by the same walker in fuzz_run.
#include <algorithm>
#include <cstring>

#include "CableLoad.h"
#include "EventWalk.h"
#include "FileCheck.h"
#include "FuzzSupport.h"
#include "SentBytesOracle.h"

using namespace midiflash;
using midiflash::fuzz::Require;
using midiflash::testing::Bytes;
using midiflash::testing::SmfWalk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  midiflash::fuzz::QuietLog();
  PlayerState s;
  SmfReader r{s};
  FileCheck check{s, r};
  s.SMF.assign(data, data + size);  // exact size: AddressSanitizer sees the first byte past it
  s.SmfSize = size;
  const int32_t result = check.SmfPlaySet();
  Require(std::strcmp(DescribeCheckResult(result), "unknown result") != 0, "unknown result");
  Require(check.failure().offset <= size, "refusal offset past the end");
  const SmfWalk expected = midiflash::testing::WalkSmf(s.SMF);
  Require(expected.ok == (result == kCheckPlayable),
          "check result " + std::to_string(result) + " but the oracle disagrees");
  if (result != kCheckPlayable) return 0;

  SmfWalk walked;
  uint64_t wire = 0;
  const int32_t walk = EventWalk{s}.Walk([&](int32_t, const SmfEvent& e) {
    Require(uint64_t{e.dataOffset} + e.dataLength <= size, "event data past the end");
    wire += e.WireBytes();
    if (e.kind == EventKind::kChannel) {
      walked.channel.push_back(Bytes{e.status, e.data1, e.data2});
      walked.channel.back().resize(e.WireBytes());
    }
    if (e.kind == EventKind::kSysEx || e.kind == EventKind::kEscape) {
      walked.sysex.emplace_back(e.dataOffset, e.dataLength);
    }
    if (e.kind == EventKind::kMeta && e.data1 == 0x2F) walked.trackTicks.push_back(e.tick);
  });
  Require(walk == kCheckPlayable, "EventWalk refuses an accepted file");
  Require(walked.trackTicks == expected.trackTicks, "track lengths differ from the oracle's");
  Require(walked.channel == expected.channel, "channel messages differ from the oracle's");
  Require(walked.sysex == expected.sysex, "System Exclusive events differ from the oracle's");
  uint32_t longest = 0;
  for (const uint32_t ticks : walked.trackTicks) longest = std::max(longest, ticks);
  Require(longest == s.tTotalClock, "tTotalClock is not the longest track");

  CableLoad load;
  Require(MeasureCableLoad(s, load) == kCheckPlayable, "the cable analysis refuses the file");
  Require(load.totalBytes == wire, "the cable analysis counts other bytes than the walk");
  Require(!load.timed || load.busiestSecondBytes <= wire, "a second sends more than the file");
  return 0;
}
