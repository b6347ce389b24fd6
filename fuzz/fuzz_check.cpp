// Arbitrary bytes through the file check, then a walk of every event of every track: with
// EventWalk, as the dump command lists them, and with the event reader directly. Both are compared
// with the test oracle's own reader: a file the check accepts must walk to the same events and
// the same track lengths there, and a file it refuses must be one the oracle cannot walk.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "EventWalk.h"
#include "FileCheck.h"
#include "FuzzSupport.h"
#include "SentBytesOracle.h"

using midiflash::EventKind;
using midiflash::EventWalk;
using midiflash::FileCheck;
using midiflash::PlayerState;
using midiflash::SmfEvent;
using midiflash::SmfReader;
using midiflash::SmfTrack;
using midiflash::fuzz::Require;
using midiflash::testing::Bytes;
using midiflash::testing::SentBytesOracle;
using midiflash::testing::SmfWalk;

namespace {

bool KnownResult(int32_t r) {
  switch (r) {
    case midiflash::kCheckPlayable:
    case midiflash::kCheckNotSmf:
    case midiflash::kCheckBadFormat:
    case midiflash::kCheckTooManyTracks:
    case midiflash::kCheckNoTrackChunk:
    case midiflash::kCheckHeaderCut:
    case midiflash::kCheckTrackChunkCut:
    case midiflash::kCheckEventCut:
    case midiflash::kCheckNoEndOfTrack:
      return true;
    default:
      return false;
  }
}

// Lists track `trk` from its first event as dump does, into `out` when it is given. Returns true
// when the walk reached End of Track.
bool WalkTrack(PlayerState& s, SmfReader& r, int32_t trk, SmfWalk* out) {
  SmfTrack& t = s.sTrk[trk];
  const uint64_t size = s.SMF.size();
  t.TrkPtr = t.TrkTop;
  t.RunSts = 0;
  t.TotalClock = 0;
  t.WaitClock = 0;
  r.ClearOverrun();
  uint32_t touched = 0;
  while (t.TrkPtr < size) {
    const uint8_t read = r.ReadEvent(trk);
    Require(t.TrkPtr <= size, "the cursor left the image");
    if (r.Overran()) return false;
    if (read == 0) {
      Require(t.Sts < 0x80 && t.RunSts == 0, "ReadEvent refused an event that has a status");
      continue;
    }
    if (t.Sts == 0xFF && t.Data1 == 0x2F) {
      if (out) out->trackTicks.push_back(t.TotalClock);
      return true;
    }
    if (t.Sts == 0xFF || t.Sts == 0xF0 || t.Sts == 0xF7) {
      if (t.DataLen > size - t.TrkPtr) return false;
      for (uint32_t k = 0; k < t.DataLen; ++k) touched += s.SMF[t.TrkPtr + k];
      if (out && t.Sts != 0xFF) out->sysex.emplace_back(t.TrkPtr, t.DataLen);
      t.TrkPtr += t.DataLen;
    } else if (t.Sts >= 0x80 && t.Sts < 0xF0) {
      const bool two = t.Sts >= 0xC0 && t.Sts < 0xE0;
      Require(t.DataLen == (two ? 2u : 3u), "channel message of the wrong length");
      Require(t.RunSts == t.Sts, "running status not kept");
      if (out) {
        Bytes m{static_cast<uint8_t>(t.Sts), static_cast<uint8_t>(t.Data1)};
        if (!two) m.push_back(static_cast<uint8_t>(t.Data2));
        out->channel.push_back(std::move(m));
      }
    } else {
      Require(t.Sts > 0xF0 && t.Sts < 0xFF, "status below 0x80 read as an event");
    }
  }
  (void)touched;
  return false;
}

// Lists an accepted file with EventWalk, checking each event against the image as it goes.
SmfWalk ListWithEventWalk(PlayerState& s) {
  SmfWalk out;
  const uint64_t size = s.SMF.size();
  EventWalk walk{s};
  const int32_t result = walk.Walk([&](const SmfEvent& e) {
    Require(uint64_t{e.dataOffset} + e.dataLength <= size, "event data past the end");
    Require(e.offset < size, "event offset past the end");
    switch (e.kind) {
      case EventKind::kChannel: {
        Bytes m{e.status, e.data1};
        if (e.status < 0xC0 || e.status >= 0xE0) m.push_back(e.data2);
        Require(e.WireBytes() == m.size(), "channel message with a wrong wire size");
        out.channel.push_back(std::move(m));
        break;
      }
      case EventKind::kSysEx:
      case EventKind::kEscape:
        Require(e.WireBytes() == uint64_t{e.dataLength} + 1, "SysEx with a wrong wire size");
        out.sysex.emplace_back(e.dataOffset, e.dataLength);
        break;
      case EventKind::kMeta:
        if (e.data1 == 0x2F) out.trackTicks.push_back(e.tick);
        [[fallthrough]];
      default:
        Require(e.WireBytes() == 0, "an event never sent has wire bytes");
    }
  });
  Require(result == midiflash::kCheckPlayable, "EventWalk refuses an accepted file");
  return out;
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
  Require(KnownResult(result), "unknown check result " + std::to_string(result));
  Require(check.failure().offset <= size, "refusal offset past the end");
  for (int32_t i = 0; i < PlayerState::kTrackTableSize; ++i) {
    Require(s.sTrk[i].TrkPtr <= size, "a cursor stands past the end after the check");
  }

  const SentBytesOracle oracle(s.SMF);
  const SmfWalk& expected = oracle.walk();
  Require(expected.ok == (result == midiflash::kCheckPlayable),
          "check result " + std::to_string(result) + " but the oracle " +
              (expected.ok ? "walks the file" : "cannot walk it"));

  if (result == midiflash::kCheckPlayable) {
    std::vector<midiflash::SmfTrack> before(s.sTrk.get(),
                                            s.sTrk.get() + PlayerState::kTrackTableSize);
    const SmfWalk listed = ListWithEventWalk(s);
    Require(std::memcmp(before.data(), s.sTrk.get(), sizeof(SmfTrack) * before.size()) == 0,
            "EventWalk changed a track record");
    Require(listed.trackTicks == expected.trackTicks, "EventWalk: track lengths differ");
    Require(listed.channel == expected.channel, "EventWalk: channel messages differ");
    Require(listed.sysex == expected.sysex, "EventWalk: System Exclusive events differ");

    SmfWalk walked;
    uint32_t longest = 0;
    for (int32_t i = 0; i < s.SmfTracks; ++i) {
      const uint32_t scanned = s.sTrk[i].TotalClock;
      Require(WalkTrack(s, r, i, &walked), "an accepted track does not walk to End of Track");
      Require(s.sTrk[i].TotalClock == scanned, "walk and scan disagree on a track's length");
      if (scanned > longest) longest = scanned;
    }
    Require(longest == s.tTotalClock, "tTotalClock is not the longest track");
    Require(walked.trackTicks == expected.trackTicks, "track lengths differ from the oracle");
    Require(walked.channel == expected.channel, "channel messages differ from the oracle");
    Require(walked.sysex == expected.sysex, "System Exclusive events differ from the oracle");
  } else if (check.failure().track >= 0) {
    // A refused file is still listed as far as it goes: the tracks before the refusal in full,
    // and the refused one when its chunk header was read.
    const int32_t bad = check.failure().track;
    for (int32_t i = 0; i < bad; ++i) {
      Require(WalkTrack(s, r, i, nullptr), "a track scanned before the refusal does not walk");
    }
    if (result == midiflash::kCheckEventCut || result == midiflash::kCheckNoEndOfTrack) {
      Require(!WalkTrack(s, r, bad, nullptr), "the refused track walks to End of Track");
    }
  }
  return 0;
}
