// Arbitrary bytes through the file check against the walker: a refused file is one it cannot walk;
// an accepted one, read again as playback reads it, gives its messages and track lengths, and the
// check's counts add up.
#include <algorithm>

#include "CableLoad.h"
#include "CheckedFile.h"
#include "Log.h"
#include "SentBytesOracle.h"
#include "TrackReader.h"

using namespace midiflash;
using namespace midiflash::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScopedLogCapture quiet([](const std::string&) {});  // long delta times are logged
  const CheckedFile f = CheckFile(Bytes(data, data + size));  // exact size, for AddressSanitizer
  Require(CheckReason(f.result) != std::string("unknown result"), "unknown result");
  Require(f.failure.offset <= size && !ExplainRefusal(f).empty(), "refusal past the end or mute");
  const SmfWalk expected = WalkFile(f.image);
  Require(expected.ok == f.playable(), "result " + std::to_string(f.result) + ", oracle disagrees");
  if (!f.playable()) return 0;
  SmfWalk walked;
  uint64_t wire = 0, largest = 0;
  for (const MessageSpan& m : f.messages) {
    walked.sysex.emplace_back(m.offset + 1, m.length - 1);
    wire += m.length, largest = std::max<uint64_t>(largest, m.length);
  }
  for (const TrackSpan& span : f.tracks) {
    TrackCursor c{span.firstEvent, 0, 0};
    TrackEvent e;
    ReadRefusal why;
    for (ReadStep step = ReadStep::kEvent; step == ReadStep::kEvent;) {
      step = ReadTrackEvent(f.image.data(), uint32_t(size), c, e, why);
      Require(step != ReadStep::kRefused, "a track of an accepted file is refused");
      Require(uint64_t{e.dataOffset} + e.dataLength <= size, "event data past the end");
      wire += e.WireBytes(), largest = std::max(largest, e.WireBytes());
      Bytes m;
      AppendWireMessage(f.image.data(), e, m);
      Require(m.size() == e.WireBytes(), "wire bytes and wire message differ");
      if (e.kind == EventKind::kChannel) walked.channel.push_back(m);
      if (e.kind == EventKind::kSysEx || e.kind == EventKind::kEscape) {
        walked.sysex.emplace_back(e.dataOffset, e.dataLength);
      }
    }
    walked.trackTicks.push_back(e.tick);
    Require(span.ticks == e.tick, "a track's length differs from its End of Track");
  }
  const std::vector<uint32_t>& ticks = walked.trackTicks;
  Require(ticks == expected.trackTicks && walked.channel == expected.channel &&
              walked.sysex == expected.sysex,
          "the events differ from the oracle's");
  Require(f.totalTicks == (ticks.empty() ? 0 : *std::max_element(ticks.begin(), ticks.end())),
          "totalTicks is not the longest track");
  Require(f.wireBytes == wire && f.largest.bytes == largest, "the check counts other bytes");
  if (f.kind == FileKind::kSmf) {
    Require(MeasureCableLoad(f).busiestSecondBytes <= wire, "a second sends more than the file");
  }
  return 0;
}
