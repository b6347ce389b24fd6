#include "CliPortMatch.h"

PortMatch MatchPort(const std::vector<midiflash::MidiDestination>& list, const std::string& text) {
  PortMatch match;
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() <= 9 && std::stoul(text) < list.size()) {
      match.index = static_cast<int64_t>(std::stoul(text));
    } else {
      match.error = "no MIDI destination at index " + text;
    }
    return match;
  }
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].name == text || list[i].id == text) {
      match.index = static_cast<int64_t>(i);
      return match;
    }
  }
  std::string candidates;
  size_t found = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].name.rfind(text, 0) != 0) continue;
    candidates += (found++ == 0 ? "'" : ", '") + list[i].name + "'";
    match.index = static_cast<int64_t>(i);
  }
  if (found > 1) {
    match.index = -1;
    match.error = "'" + text + "' is the start of several MIDI destinations: " + candidates;
  } else if (found == 0) {
    match.error = "no MIDI destination matches '" + text + "'";
  }
  return match;
}
