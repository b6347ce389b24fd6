// Arbitrary bytes through the file check, then every event of an accepted file read three ways:
// by the event walk (dump), by the record-based ReadEvent (playback) and by the cable analysis.
// Each is compared with the test oracle's own walker, written apart from the program's reader: a
// file the check accepts must walk to the same events and track lengths there, and a file it
// refuses must be one the oracle cannot walk.
#include <cstddef>
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
using midiflash::testing::SentBytesOracle;
using midiflash::testing::SmfWalk;

namespace {

void Collect(SmfWalk& out, const SmfEvent& e) {
  if (e.kind == EventKind::kChannel) {
    Bytes m{e.status, e.data1, e.data2};
    m.resize(e.WireBytes());
    out.channel.push_back(std::move(m));
  } else if (e.kind != EventKind::kMeta) {
    out.sysex.emplace_back(e.dataOffset, e.dataLength);
  }
}

// Reads track `trk` from its first event with ReadEvent, as playback does.
void ReadLikePlayback(PlayerState& s, SmfReader& r, int32_t trk, SmfWalk& out) {
  SmfTrack& t = s.sTrk[trk];
  t.TrkPtr = t.TrkTop;
  t.RunSts = 0;
  t.TotalClock = 0;
  for (;;) {
    Require(r.ReadEvent(trk) == 1, "ReadEvent refuses an accepted track");
    Require(t.TrkPtr <= s.SMF.size() && t.DataLen <= s.SMF.size() - t.TrkPtr, "read past the end");
    if (t.Sts == 0xFF && t.Data1 == 0x2F) break;
    if (t.Sts >= 0xF0) {
      if (t.Sts != 0xFF) out.sysex.emplace_back(t.TrkPtr, t.DataLen);
      t.TrkPtr += t.DataLen;
      continue;
    }
    Require(t.Sts >= 0x80 && t.Data1 < 0x80 && t.Data2 < 0x80, "malformed channel message");
    Bytes m{static_cast<uint8_t>(t.Sts), static_cast<uint8_t>(t.Data1),
            static_cast<uint8_t>(t.Data2)};
    m.resize(t.DataLen);
    out.channel.push_back(std::move(m));
  }
  out.trackTicks.push_back(t.TotalClock);
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
  // An exact-size copy, so that AddressSanitizer sees the first byte past the image.
  s.SMF.assign(data, data + size);
  s.SmfSize = size;

  const int32_t result = check.SmfPlaySet();
  Require(std::strcmp(DescribeCheckResult(result), "unknown result") != 0,
          "unknown check result " + std::to_string(result));
  Require(check.failure().offset <= size, "refusal offset past the end");
  const SentBytesOracle oracle(s.SMF);
  const SmfWalk& expected = oracle.walk();
  Require(expected.ok == (result == kCheckPlayable),
          "check result " + std::to_string(result) + " but the oracle " +
              (expected.ok ? "walks the file" : "cannot walk it"));
  if (result != kCheckPlayable) return 0;

  SmfWalk walked;
  uint64_t wire = 0;
  EventWalk walk{s};
  Require(walk.Walk([&](int32_t, const SmfEvent& e) {
    Require(uint64_t{e.dataOffset} + e.dataLength <= size, "event data past the end");
    Collect(walked, e);
    wire += e.WireBytes();
    if (e.kind == EventKind::kMeta && e.data1 == 0x2F) walked.trackTicks.push_back(e.tick);
  }) == kCheckPlayable,
          "EventWalk refuses an accepted file");
  RequireSame(walked, expected, "EventWalk");

  CableLoad load;
  Require(MeasureCableLoad(s, load) == kCheckPlayable, "the cable analysis refuses the file");
  Require(load.totalBytes == wire, "the cable analysis counts other bytes than the walk");
  Require(!load.timed || load.busiestSecondBytes <= wire, "a second sends more than the file");

  SmfWalk played;
  uint32_t longest = 0;
  for (int32_t i = 0; i < s.SmfTracks; ++i) {
    const uint32_t scanned = s.sTrk[i].TotalClock;
    ReadLikePlayback(s, r, i, played);
    Require(s.sTrk[i].TotalClock == scanned, "ReadEvent and the scan disagree on a length");
    if (scanned > longest) longest = scanned;
  }
  Require(longest == s.tTotalClock, "tTotalClock is not the longest track");
  RequireSame(played, expected, "ReadEvent");
  return 0;
}
