#include "ListCommand.h"

#include <chrono>
#include <string>

#include "CliJson.h"
#include "CliSignals.h"
#include "MainQueue.h"

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
    if (find(after, before[i].id) < 0) {
      lines.push_back("removed " + std::to_string(i) + ": " + before[i].name);
    }
  }
  for (size_t i = 0; i < after.size(); ++i) {
    const int64_t was = find(before, after[i].id);
    if (was < 0) {
      lines.push_back("added " + std::to_string(i) + ": " + after[i].name);
    } else if (before[static_cast<size_t>(was)].name != after[i].name) {
      lines.push_back("renamed " + std::to_string(i) + ": " + after[i].name);
    }
  }
  return lines;
}

int RunListWatch(MidiPort& midi, std::ostream& out) {
  MainQueue queue;
  CliSignals signals(queue);
  std::vector<MidiDestination> shown = midi.MidiOutDevices();
  for (size_t i = 0; i < shown.size(); ++i) out << i << ": " << shown[i].name << "\n";
  out.flush();
  // The service's thread only queues; the list is read again here, on this thread.
  midi.SetDestinationsChanged([&queue, &midi, &shown, &out] {
    queue.Post([&midi, &shown, &out] {
      std::vector<MidiDestination> now = midi.MidiOutDevices();
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
