#include "IdentifyCommand.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>

#include "CliArgs.h"
#include "CliHelp.h"
#include "CliPortMatch.h"
#include "CliSignals.h"
#include "CliText.h"
#include "CliView.h"
#include "ListCommand.h"
#include "Log.h"
#include "MainQueue.h"
#include "MidiService.h"
#include "PeriodicTimer.h"
#include "PosixFileSource.h"
#include "Receipt.h"
#include "StatusText.h"
#include "SteadyClock.h"
#include "TickHandOff.h"
#include "UpdateWorkflow.h"

namespace midiflash {

int RunIdentifyCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a;
  std::string error;
  if (!ParseArgs(args, {{"--port", 'p', true}, {"--reply-port", 0, true}, {"--json", 0, false}}, a,
                 error)) {
    return UsageError("identify", error, err);
  }
  if (!a.operands.empty()) return UsageError("identify", "no FILE is taken", err);
  MainQueue queue;
  CliSignals signals(queue);
  const std::unique_ptr<MidiOutput> midi = OpenMidiOutput();
  if (std::strcmp(midi->ServiceName(), "none") == 0) {
    err << kNoMidiService << "\n";
    return kPlayUnusable;
  }
  const std::vector<MidiDestination> list = midi->ListDestinations();
  const int64_t index = ChooseDestination(list, a, error);
  if (index < 0) {
    err << "midiflash-cli: " << error << "\n";
    return kPlayUnusable;
  }
  const MidiDestination& target = list[static_cast<size_t>(index)];

  // --json prints the answer alone; the lines of the asking go nowhere.
  std::ostream nowhere(nullptr);
  const bool json = a.Has("--json");
  CliView view(json ? nowhere : out, !json && &out == &std::cout && isatty(STDOUT_FILENO));
  PeriodicTimer timer;
  SteadyClock clock;
  PosixFileSource files;
  UpdateWorkflow* asking = nullptr;
  TickHandOff handoff(
      timer, [&queue](std::function<void()> task) { queue.Post(std::move(task)); },
      [&asking] { asking->Tick(); });
  UpdateWorkflow workflow(*midi, view, files, clock, handoff);
  asking = &workflow;
  midi->SetReceived([&queue, &workflow](const uint8_t* data, size_t size) {
    queue.Post([&workflow, bytes = std::vector<uint8_t>(data, data + size)] {
      workflow.Received(bytes.data(), bytes.size());
    });
  });
  struct StopReceiving {
    MidiOutput& midi;
    ~StopReceiving() { midi.SetReceived({}); }
  } stop_receiving{*midi};

  workflow.Load(target.id, UpdateWorkflow::Fallback::kNone);
  if (a.Has("--reply-port")) {
    const std::vector<MidiDestination> sources = midi->ListSources();
    const PortMatch match = MatchPort(sources, a.Value("--reply-port"), "source", "--reply-port");
    if (match.index < 0) {
      err << "midiflash-cli: " << match.error << "\n";
      return kPlayUnusable;
    }
    workflow.SetReplySource(sources[size_t(match.index)]);
  }
  // Nothing is sent to a device whose answer could not be heard.
  if (!workflow.ReplySourceFor(target)) {
    err << "midiflash-cli: no MIDI port of '" << Printable(target.name)
        << "' to hear its answer from; name one with --reply-port (see 'midiflash-cli list "
           "--sources')\n";
    return kPlayUnusable;
  }
  workflow.Identify();
  const auto identifying = [&workflow] { return workflow.phase() == Phase::kIdentifying; };
  while (identifying() && CliSignals::Received() == 0) {
    queue.RunUntil([&] { return !identifying(); }, std::chrono::milliseconds(100));
  }
  if (CliSignals::Received() != 0) return kPlayInterrupted + CliSignals::Received();
  const IdentityCheck& check = workflow.identified();
  if (json) out << IdentityJson(check) << "\n";
  if (check.requests == 0) {
    err << SendErrorText(check.sendError) << "\n" << SendErrorAdvice(check.sendError) << "\n";
    return kPlaySendFailed;
  }
  return check.reply ? kPlayCompleted : kPlayUnverified;
}

}  // namespace midiflash
