#include "RawmidiStatus.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace midiflash {
namespace {

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

// The number after "<key>:" in a line such as "  Buffer size  : 4096", or -1.
long long Field(std::string_view line, std::string_view key) {
  const size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos || line.substr(start, key.size()) != key) return -1;
  const size_t colon = line.find(':', start + key.size());
  if (colon == std::string_view::npos) return -1;
  return std::strtoll(std::string(line.substr(colon + 1)).c_str(), nullptr, 10);
}

}  // namespace

bool ParseRawmidiOutput(std::string_view text, int number, RawmidiOutput* out) {
  const std::string header = "Output " + std::to_string(number);
  bool inside = false;
  bool found = false;
  RawmidiOutput r;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line[0] != ' ') {
      // A section starts: "Output N" or "Input N" (or the device's name above them).
      inside = line == header;
      found = found || inside;
      continue;
    }
    if (!inside) continue;
    if (long long v = Field(line, "Tx bytes"); v >= 0) r.tx_bytes = static_cast<uint64_t>(v);
    if (long long v = Field(line, "Owner PID"); v >= 0) r.owner_pid = static_cast<int>(v);
    if (long long v = Field(line, "Buffer size"); v >= 0) r.buffer_size = static_cast<size_t>(v);
    if (long long v = Field(line, "Avail"); v >= 0) r.avail = static_cast<size_t>(v);
  }
  if (found) *out = r;
  return found;
}

bool RawmidiStatus::Find(const std::string& proc_root, int card, int port, int pid) {
  path_.clear();
  const std::string dir = proc_root + "/card" + std::to_string(card);
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind("midi", 0) != 0) continue;
      std::string text;
      if (!ReadFile(dir + "/" + name, &text)) continue;
      RawmidiOutput r;
      for (int n = 0; n < 32 && ParseRawmidiOutput(text, n, &r); ++n) {
        if (r.owner_pid == pid && r.buffer_size > 0) {
          path_ = dir + "/" + name;
          number_ = n;
          closedir(d);
          return true;
        }
      }
    }
    closedir(d);
  }
  path_ = dir + "/midi" + std::to_string(port / 32);
  number_ = port % 32;
  RawmidiOutput r;
  if (Read(&r)) return true;
  path_.clear();
  return false;
}

bool RawmidiStatus::Read(RawmidiOutput* out) const {
  std::string text;
  if (path_.empty() || !ReadFile(path_, &text)) return false;
  RawmidiOutput r;
  if (!ParseRawmidiOutput(text, number_, &r) || r.buffer_size == 0) return false;
  *out = r;
  return true;
}

}  // namespace midiflash
