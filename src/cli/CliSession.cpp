#include "CliSession.h"

#include <chrono>
#include <vector>

#include "CliPortMatch.h"
#include "CliSignals.h"
#include "CliText.h"

namespace midiflash {

CliSession::CliSession(MidiOutput& midi, UpdateView& view, FileSource& files, MainQueue& queue)
    : midi_(midi),
      queue_(queue),
      handoff_(
          timer_, [&queue](std::function<void()> task) { queue.Post(std::move(task)); },
          [this] { workflow_.Tick(); }),
      workflow_(midi, view, files, clock_, handoff_) {
  // The answers come on a thread of the service; the workflow reads them on the main thread.
  midi_.SetReceived([this](const uint8_t* data, size_t size) {
    queue_.Post([this, bytes = std::vector<uint8_t>(data, data + size)] {
      workflow_.Received(bytes.data(), bytes.size());
    });
  });
}

CliSession::~CliSession() {
  midi_.SetReceived({});
}

std::string CliSession::UseReplyPort(const ParsedArgs& args, const MidiDestination& target) {
  if (args.Has("--reply-port")) {
    const std::vector<MidiDestination> sources = midi_.ListSources();
    const PortMatch match =
        MatchPort(sources, args.Value("--reply-port"), "source", "--reply-port");
    if (match.index < 0) return match.error;
    workflow_.SetReplySource(sources[size_t(match.index)]);
  }
  if (workflow_.ReplySourceFor(target)) return "";
  return "no MIDI port of '" + Printable(target.name) +
         "' to hear its answer from; name one with --reply-port (see 'midiflash-cli list "
         "--sources')";
}

bool CliSession::WaitWhileIdentifying() {
  const auto identifying = [this] { return workflow_.phase() == Phase::kIdentifying; };
  while (identifying() && CliSignals::Received() == 0) {
    queue_.RunUntil([&] { return !identifying(); }, std::chrono::milliseconds(100));
  }
  return CliSignals::Received() == 0;
}

}  // namespace midiflash
