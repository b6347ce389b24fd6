#include "ListCommand.h"

#include <chrono>
#include <cstring>

#include "CliSignals.h"
#include "CliText.h"
#include "MainQueue.h"

namespace midiflash {

const char* const kNoMidiService =
    "midiflash-cli: no MIDI service: neither the ALSA sequencer nor a JACK server can be reached";

namespace {

bool NoService(MidiOutput& midi, std::ostream& err) {
  if (std::strcmp(midi.ServiceName(), "none") != 0) return false;
  err << kNoMidiService << "\n";
  return true;
}

}  // namespace

std::string DestinationLine(size_t index, const MidiDestination& d) {
  return std::to_string(index) + ": " + (d.id == d.name ? "" : Printable(d.id) + " ") +
         Printable(d.name) + (d.passThrough ? " (pass-through)" : "");
}

int RunListCommand(MidiOutput& midi, bool json, std::ostream& out, std::ostream& err,
                   bool sources) {
  if (NoService(midi, err)) return 2;
  const std::vector<MidiDestination> list = sources ? midi.ListSources() : midi.ListDestinations();
  if (!json) {
    for (size_t i = 0; i < list.size(); ++i) out << DestinationLine(i, list[i]) << "\n";
    return 0;
  }
  out << "[";
  for (size_t i = 0; i < list.size(); ++i) {
    const MidiDestination& d = list[i];
    out << (i > 0 ? "," : "") << "{\"index\":" << i << ",\"id\":" << JsonString(d.id)
        << ",\"name\":" << JsonString(d.name) << ",\"client\":" << JsonString(d.clientName)
        << ",\"port\":" << JsonString(d.portName)
        << ",\"pass_through\":" << (d.passThrough ? "true" : "false") << "}";
  }
  out << "]\n";
  return 0;
}

std::vector<std::string> DescribeChanges(const std::vector<MidiDestination>& before,
                                         const std::vector<MidiDestination>& after) {
  const auto find = [](const std::vector<MidiDestination>& list, const std::string& id) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].id == id) return static_cast<int64_t>(i);
    }
    return int64_t{-1};
  };
  std::vector<std::string> lines;
  for (size_t i = 0; i < before.size(); ++i) {
    if (find(after, before[i].id) < 0) lines.push_back("removed " + DestinationLine(i, before[i]));
  }
  for (size_t i = 0; i < after.size(); ++i) {
    const int64_t was = find(before, after[i].id);
    if (was < 0) {
      lines.push_back("added " + DestinationLine(i, after[i]));
    } else if (before[static_cast<size_t>(was)].name != after[i].name) {
      lines.push_back("renamed " + DestinationLine(i, after[i]));
    }
  }
  return lines;
}

int RunListWatch(MidiOutput& midi, std::ostream& out, std::ostream& err) {
  if (NoService(midi, err)) return 2;
  MainQueue queue;
  CliSignals signals(queue);
  std::vector<MidiDestination> shown = midi.ListDestinations();
  for (size_t i = 0; i < shown.size(); ++i) out << DestinationLine(i, shown[i]) << "\n";
  out.flush();
  // The service's thread only queues; the list is read again here, on this thread.
  midi.SetDestinationsChanged([&queue, &midi, &shown, &out] {
    queue.Post([&midi, &shown, &out] {
      std::vector<MidiDestination> now = midi.ListDestinations();
      for (const std::string& line : DescribeChanges(shown, now)) out << line << "\n";
      out.flush();
      shown = std::move(now);
    });
  });
  while (CliSignals::Received() == 0) {
    queue.RunUntil([] { return CliSignals::Received() != 0; }, std::chrono::seconds(1));
  }
  midi.SetDestinationsChanged({});
  return 0;
}

}  // namespace midiflash
