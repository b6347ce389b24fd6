#include "TrackReader.h"

namespace midiflash {

void AppendWireMessage(const uint8_t* image, const TrackEvent& e, std::vector<uint8_t>& out) {
  switch (e.kind) {
    case EventKind::kChannel:
      out.push_back(e.status);
      out.push_back(e.data1);
      if (e.WireBytes() == 3) out.push_back(e.data2);
      return;
    case EventKind::kSysEx:
    case EventKind::kEscape:
      // An escape event's data is a continuation or a raw message; it goes out behind F0 as well,
      // so that a device never sees a stray F7 as a status of its own.
      out.push_back(kSysExStatus);
      out.insert(out.end(), image + e.dataOffset, image + e.dataOffset + e.dataLength);
      return;
    case EventKind::kMeta:
      return;
  }
}

}  // namespace midiflash
