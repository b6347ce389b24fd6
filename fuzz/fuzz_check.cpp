// Arbitrary bytes through the file check; every event of an accepted file is
// then read again from each track's first event, as playback and the dump read
// it, and counted by the cable analysis, and compared with the oracle's own
// walker: the same events and track lengths (or System Exclusive messages)
// where the check accepts, and a file the oracle cannot walk where it refuses.
// Playback itself is judged by the same walker in fuzz_run.
#include <algorithm>
#include <cstring>

#include "CableLoad.h"
#include "CheckedFile.h"
#include "FuzzSupport.h"
#include "SentBytesOracle.h"
#include "TrackReader.h"

using namespace midiflash;
using midiflash::fuzz::Require;
using midiflash::testing::Bytes;
using midiflash::testing::SmfWalk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  midiflash::fuzz::QuietLog();
  // Exact size: AddressSanitizer sees the first byte past it.
  const CheckedFile f = CheckFile(Bytes(data, data + size));
  Require(std::strcmp(CheckReason(f.result), "unknown result") != 0, "unknown result");
  Require(f.failure.offset <= size, "refusal offset past the end");
  Require(!ExplainRefusal(f).empty(), "no explanation");
  const SmfWalk expected = midiflash::testing::WalkFile(f.image);
  Require(expected.ok == f.playable(),
          "check result " + std::to_string(f.result) + " but the oracle disagrees");
  if (!f.playable()) return 0;
  if (f.kind == FileKind::kSysEx) {
    SmfWalk walked;
    uint64_t largest = 0;
    for (const MessageSpan& m : f.messages) {
      walked.sysex.emplace_back(m.offset + 1, m.length - 1);
      largest = std::max<uint64_t>(largest, m.length);
    }
    Require(walked.sysex == expected.sysex, "messages differ from the oracle's");
    Require(f.wireBytes == size && f.largest.bytes == largest, "the check counts other bytes");
    return 0;
  }

  SmfWalk walked;
  uint64_t wire = 0, largest = 0;
  for (const TrackSpan& span : f.tracks) {
    TrackCursor c{span.firstEvent, 0, 0};
    TrackEvent e;
    ReadRefusal why;
    ReadStep step;
    do {
      step = ReadTrackEvent(f.image.data(), uint32_t(size), c, e, why);
      Require(step != ReadStep::kRefused, "a track of an accepted file is refused");
      Require(uint64_t{e.dataOffset} + e.dataLength <= size, "event data past the end");
      wire += e.WireBytes();
      largest = std::max(largest, e.WireBytes());
      Bytes m;
      AppendWireMessage(f.image.data(), e, m);
      Require(m.size() == e.WireBytes(), "wire bytes and wire message differ");
      if (e.kind == EventKind::kChannel) walked.channel.push_back(m);
      if (e.kind == EventKind::kSysEx || e.kind == EventKind::kEscape) {
        walked.sysex.emplace_back(e.dataOffset, e.dataLength);
      }
    } while (step == ReadStep::kEvent);
    walked.trackTicks.push_back(e.tick);
    Require(span.ticks == e.tick, "a track's length differs from its End of Track");
  }
  Require(walked.trackTicks == expected.trackTicks, "track lengths differ from the oracle's");
  Require(walked.channel == expected.channel, "channel messages differ from the oracle's");
  Require(walked.sysex == expected.sysex, "System Exclusive events differ from the oracle's");
  // A file without tracks has no longest one: its length is 0.
  Require(walked.trackTicks.empty() ? f.totalTicks == 0
                                    : f.totalTicks == *std::max_element(walked.trackTicks.begin(),
                                                                        walked.trackTicks.end()),
          "totalTicks is not the longest track");
  Require(f.wireBytes == wire && f.largest.bytes == largest, "the check counts other bytes");
  const CableLoad load = MeasureCableLoad(f);
  Require(load.busiestSecondBytes <= wire, "a second sends more than the file");
  return 0;
}
