// Text of the command line's output (its JSON strings: Json.h). Names and paths come from other
// programs and the file system and may hold quotes, backslashes or control bytes.
#pragma once

#include <cstdio>
#include <string>

#include "Json.h"

namespace midiflash {

// `text` for a terminal line: control bytes as C escapes ("\n", "\x1b"), a backslash doubled, so
// that a name can neither break a line nor move the cursor.
inline std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace midiflash
