// JSON as the program writes it: strings escaped for names and paths that come from other programs
// and the file system, and objects built member by member.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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

// One JSON object, its members in the order added.
class JsonObject {
 public:
  // A member whose value is JSON text already ("null", a number, an object).
  JsonObject& Raw(const std::string& key, std::string json) {
    members_.emplace_back(key, std::move(json));
    return *this;
  }
  JsonObject& Text(const std::string& key, const std::string& s) { return Raw(key, JsonString(s)); }
  JsonObject& Number(const std::string& key, uint64_t n) { return Raw(key, std::to_string(n)); }
  JsonObject& Bool(const std::string& key, bool b) { return Raw(key, b ? "true" : "false"); }
  JsonObject& Object(const std::string& key, const JsonObject& o) { return Raw(key, o.Line()); }
  // On one line: {"key": value, ...}.
  std::string Line() const { return Join(", ", "{", "}"); }
  // A member a line, indented by two spaces, for files people read.
  std::string Lines() const { return Join(",\n  ", "{\n  ", "\n}\n"); }

 private:
  std::string Join(const char* between, const char* open, const char* close) const {
    std::string out = open;
    for (size_t i = 0; i < members_.size(); ++i) {
      out += (i ? between : "") + JsonString(members_[i].first) + ": " + members_[i].second;
    }
    return out + close;
  }
  std::vector<std::pair<std::string, std::string>> members_;
};

}  // namespace midiflash
