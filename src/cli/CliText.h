// Text of the command line's output. Names and paths come from other programs and the file
// system and may hold quotes, backslashes or control bytes.
#pragma once

#include <cstdio>
#include <string>

namespace midiflash {

// `text` as a JSON string literal; bytes from 0x80 up pass as they are (UTF-8).
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
