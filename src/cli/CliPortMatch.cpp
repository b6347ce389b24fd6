#include "CliPortMatch.h"

#include <functional>

#include "CliText.h"

namespace midiflash {
namespace {

// The port number of an ALSA identity "client:port", or "" for any other identity.
std::string PortNumber(const MidiDestination& d) {
  const size_t colon = d.id.find(':');
  if (colon == std::string::npos || d.id.find_first_not_of("0123456789:") != std::string::npos) {
    return "";
  }
  return d.id.substr(colon + 1);
}

std::string Quoted(const std::string& name) {
  return "'" + Printable(name) + "'";
}

}  // namespace

PortMatch MatchPort(const std::vector<MidiDestination>& list, const std::string& text,
                    const std::string& what, const std::string& option) {
  PortMatch match;
  if (text.empty()) {
    match.error = "an empty " + option + " names no MIDI " + what;
    return match;
  }
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() <= 9 && std::stoul(text) < list.size()) {
      match.index = static_cast<int64_t>(std::stoul(text));
    } else {
      match.error = "no MIDI " + what + " at index " + text;
    }
    return match;
  }
  const auto clients = [&](const std::string& client) {
    size_t n = 0;
    for (const MidiDestination& d : list) n += d.clientName == client;
    return n;
  };
  const std::vector<std::function<bool(const MidiDestination&)>> rules = {
      [&](const MidiDestination& d) {
        return d.id == text || d.name == text || d.portName == text ||
               (!PortNumber(d).empty() && text == d.clientName + ":" + PortNumber(d)) ||
               (d.clientName == text && clients(text) == 1);
      },
      [&](const MidiDestination& d) { return d.name.rfind(text, 0) == 0; },
  };
  for (const auto& rule : rules) {
    std::string candidates;
    size_t found = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (!rule(list[i])) continue;
      candidates += (found++ == 0 ? "" : ", ") + Quoted(list[i].name);
      match.index = static_cast<int64_t>(i);
    }
    if (found == 1) return match;
    match.index = -1;
    if (found > 1) {
      match.error = Quoted(text) + " names several MIDI " + what + "s: " + candidates;
      return match;
    }
  }
  match.error = "no MIDI " + what + " matches " + Quoted(text);
  return match;
}

int64_t ChooseDestination(const std::vector<MidiDestination>& list, const ParsedArgs& a,
                          std::string& error) {
  if (a.Has("--port")) {
    const PortMatch match = MatchPort(list, a.Value("--port"));
    error = match.error;
    return match.index;
  }
  int64_t only = -1;
  std::string devices;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].passThrough) continue;
    devices += (devices.empty() ? "" : ", ") + Quoted(list[i].name);
    only = only == -1 ? int64_t(i) : -2;
  }
  if (only >= 0) return only;
  error = only == -1 ? "no MIDI destination to update (see 'midiflash-cli list')"
                     : "several MIDI destinations, choose one with --port: " + devices;
  return -1;
}

}  // namespace midiflash
