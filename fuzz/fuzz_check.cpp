// Arbitrary bytes through the file check; every event of an accepted file is then read three ways,
// by the event walk (dump), by ReadEvent (playback) and by the cable analysis, and compared with
// the oracle's own walker: the same events and track lengths where the check accepts, and a file
// the oracle cannot walk where it refuses.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "CableLoad.h"
#include "EventWalk.h"
#include "FileCheck.h"
#include "FuzzSupport.h"
#include "SentBytesOracle.h"

using namespace midiflash;
using midiflash::fuzz::Require;
using midiflash::testing::Bytes;
using midiflash::testing::SmfWalk;

namespace {

void Add(SmfWalk& w, uint32_t status, uint32_t d1, uint32_t d2, uint32_t len) {
  Bytes m{static_cast<uint8_t>(status), static_cast<uint8_t>(d1), static_cast<uint8_t>(d2)};
  m.resize(len);
  w.channel.push_back(m);
}

void RequireSame(const SmfWalk& a, const SmfWalk& b, const std::string& who) {
  Require(a.trackTicks == b.trackTicks, who + ": track lengths differ from the oracle");
  Require(a.channel == b.channel, who + ": channel messages differ from the oracle");
  Require(a.sysex == b.sysex, who + ": System Exclusive events differ from the oracle");
}

}  // namespace

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
  Require(EventWalk{s}.Walk([&](int32_t, const SmfEvent& e) {
    Require(uint64_t{e.dataOffset} + e.dataLength <= size, "event data past the end");
    wire += e.WireBytes();
    if (e.kind == EventKind::kChannel) Add(walked, e.status, e.data1, e.data2, e.WireBytes());
    if (e.kind == EventKind::kSysEx || e.kind == EventKind::kEscape) {
      walked.sysex.emplace_back(e.dataOffset, e.dataLength);
    }
    if (e.kind == EventKind::kMeta && e.data1 == 0x2F) walked.trackTicks.push_back(e.tick);
  }) == kCheckPlayable,
          "EventWalk refuses an accepted file");
  RequireSame(walked, expected, "EventWalk");

  CableLoad load;
  Require(MeasureCableLoad(s, load) == kCheckPlayable, "the cable analysis refuses the file");
  Require(load.totalBytes == wire, "the cable analysis counts other bytes than the walk");
  Require(!load.timed || load.busiestSecondBytes <= wire, "a second sends more than the file");

  // Each track from its first event, as playback reads it.
  SmfWalk played;
  uint32_t longest = 0;
  for (int32_t i = 0; i < s.SmfTracks; ++i) {
    SmfTrack& t = s.sTrk[i];
    const uint32_t scanned = t.TotalClock;
    t.TrkPtr = t.TrkTop;
    t.RunSts = 0;
    t.TotalClock = 0;
    for (;;) {
      Require(r.ReadEvent(i) == 1, "ReadEvent refuses an accepted track");
      Require(t.TrkPtr <= size && t.DataLen <= size - t.TrkPtr, "read past the end");
      if (t.Sts == 0xFF && t.Data1 == 0x2F) break;
      if (t.Sts < 0xF0) {
        Require(t.Sts >= 0x80 && t.Data1 < 0x80 && t.Data2 < 0x80, "malformed channel message");
        Add(played, t.Sts, t.Data1, t.Data2, t.DataLen);
        continue;
      }
      if (t.Sts != 0xFF) played.sysex.emplace_back(t.TrkPtr, t.DataLen);
      t.TrkPtr += t.DataLen;
    }
    played.trackTicks.push_back(t.TotalClock);
    Require(t.TotalClock == scanned, "ReadEvent and the scan disagree on a length");
    longest = std::max(longest, scanned);
  }
  Require(longest == s.tTotalClock, "tTotalClock is not the longest track");
  RequireSame(played, expected, "ReadEvent");
  return 0;
}
