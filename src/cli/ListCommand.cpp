#include "ListCommand.h"

#include <string>

#include "CliJson.h"

namespace midiflash {

int RunListCommand(MidiPort& midi, bool json, std::ostream& out) {
  const uint64_t count = midi.MidiOutDeviceNumber();
  if (!json) {
    for (uint64_t i = 0; i < count; ++i) out << i << ": " << midi.MidiOutDeviceName(i) << "\n";
    return 0;
  }
  out << "[";
  for (uint64_t i = 0; i < count; ++i) {
    if (i > 0) out << ",";
    out << "{\"index\":" << i << ",\"name\":" << JsonString(midi.MidiOutDeviceName(i)) << "}";
  }
  out << "]\n";
  return 0;
}

}  // namespace midiflash
