#include "ListCommand.h"

#include <cstdio>
#include <string>

namespace midiflash {
namespace {

// Port names come from other programs and may hold quotes, backslashes or control bytes.
// Bytes from 0x80 up pass as they are: names are UTF-8.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

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
