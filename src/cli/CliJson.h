// JSON output of the command line.
#pragma once

#include <cstdio>
#include <string>

namespace midiflash {

// `text` as a JSON string literal. Names and paths come from other programs and may hold
// quotes, backslashes or control bytes; bytes from 0x80 up pass as they are (UTF-8).
inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace midiflash
