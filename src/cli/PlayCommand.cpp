#include "PlayCommand.h"

#include <signal.h>
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
#include "StatusText.h"
#include "SteadyClock.h"
#include "TickHandOff.h"
#include "UpdateWorkflow.h"

namespace midiflash {
namespace {

const char* OutcomeWord(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted:
      return "completed";
    case RunOutcome::kCanceled:
      return "cancelled";
    case RunOutcome::kSendFailed:
      return "stopped by a failed send";
    case RunOutcome::kFileFailed:
      return "stopped by a change of the file";
  }
  return "";
}

// The destination the user means: the one --port names, or without --port the only one that is
// not a pass-through port. Sets `error` and returns -1 when there is none to take.
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
    devices += (devices.empty() ? "" : ", ") + std::string("'") + Printable(list[i].name) + "'";
    only = only == -1 ? int64_t(i) : -2;
  }
  if (only >= 0) return only;
  // An update sent to a pass-through port, or to a device nobody named, reaches nobody meant.
  error = only == -1 ? "no MIDI destination to update (see 'midiflash-cli list')"
                     : "several MIDI destinations, choose one with --port: " + devices;
  return -1;
}

}  // namespace

int PlayExitStatus(const RunResult& result) {
  switch (result.outcome) {
    case RunOutcome::kCompleted:
      return result.deliveryWarnings > 0 ? kPlayDeliveryWarnings : kPlayCompleted;
    case RunOutcome::kSendFailed:
      return kPlaySendFailed;
    case RunOutcome::kFileFailed:
      return kPlayFileChanged;
    case RunOutcome::kCanceled:
      break;
  }
  return kPlayInterrupted + SIGINT;
}

bool GapOption(const ParsedArgs& parsed, const CheckedFile* file, uint32_t& gapMs,
               std::string& error) {
  gapMs = kDefaultSysExGapMs;
  if (!NumberOption(parsed, "--gap", kMaxSysExGapMs, gapMs, error)) return false;
  if (file == nullptr || !parsed.Has("--gap") || file->kind == FileKind::kSysEx) return true;
  // Taken quietly, it would let the user believe that the file's messages keep that distance.
  error =
      "--gap applies to System Exclusive files only; this is a Standard MIDI File, whose "
      "messages leave at their ticks";
  return false;
}

int RunPlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a;
  std::string error;
  uint32_t gap_ms;
  if (!ParseArgs(args, {{"--port", 'p', true}, {"--gap", 0, true}}, a, error) ||
      !GapOption(a, nullptr, gap_ms, error)) {
    return UsageError("play", error, err);
  }
  if (a.operands.size() != 1) return UsageError("play", "one FILE is needed", err);
  const std::string path = a.operands[0];

  // Handlers first: a Ctrl-C at any moment from here on cancels with the cancel text.
  MainQueue queue;
  CliSignals signals(queue);
  // The file first: nothing is opened for a file that cannot be played.
  PosixFileSource files;
  LoadedFile loaded = LoadFile(files, path);
  if (!loaded.checked) {
    err << "Open file error ! " << Printable(path) << ": " << ReadFailureReason(loaded.read)
        << "\n";
    return kPlayUnusable;
  }
  if (!loaded.checked->playable()) {
    err << "Cant play this SMF ! " << Printable(path) << ": " << ExplainRefusal(*loaded.checked)
        << "\n";
    return kPlayRefused;
  }
  if (!GapOption(a, loaded.checked.get(), gap_ms, error)) return UsageError("play", error, err);
  const bool by_message = loaded.checked->kind == FileKind::kSysEx;
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

  PeriodicTimer timer;
  CliView view(out, &out == &std::cout && isatty(STDOUT_FILENO));
  SteadyClock clock;
  UpdateWorkflow* running = nullptr;
  TickHandOff handoff(
      timer, [&queue](std::function<void()> task) { queue.Post(std::move(task)); },
      [&running] { running->Tick(); });
  UpdateWorkflow workflow(*midi, view, files, clock, handoff);
  running = &workflow;
  const auto interrupted = [&] {
    view.PrintLine(NoticeText(Notice::kCanceled));
    LogLine("play: cancelled by signal %d", CliSignals::Received());
    return kPlayInterrupted + CliSignals::Received();
  };

  workflow.Load(target.id, UpdateWorkflow::Fallback::kNone);
  if (!workflow.chosen() || workflow.chosenGone()) {
    err << "midiflash-cli: the MIDI destination '" << Printable(target.name) << "' went away\n";
    return kPlayUnusable;
  }
  view.PrintLine("Destination: " + Printable(target.name));
  if (by_message) {
    view.PrintLine("Gap between messages: " + std::to_string(gap_ms) + " ms");
    LogLine("play: %s (%llu bytes, %zu messages, gap %u ms) to %s", path.c_str(),
            static_cast<unsigned long long>(loaded.checked->wireBytes),
            loaded.checked->messages.size(), gap_ms, target.id.c_str());
  } else {
    LogLine("play: %s (%llu bytes, %u ticks) to %s", path.c_str(),
            static_cast<unsigned long long>(loaded.checked->wireBytes), loaded.checked->totalTicks,
            target.id.c_str());
  }
  workflow.SetSysExGap(gap_ms);
  workflow.UseFile(std::move(loaded));
  switch (workflow.phase()) {
    case Phase::kReady:
      break;
    case Phase::kRefused:
      return kPlayRefused;
    case Phase::kNotOpened:
      return kPlaySendFailed;
    default:
      return kPlayUnusable;
  }
  // The file's opening messages have gone out; the update itself has not started.
  if (CliSignals::Received() != 0) return interrupted();

  workflow.Start();
  if (workflow.phase() == Phase::kNotOpened) return kPlaySendFailed;
  const auto ended = [&workflow] { return workflow.phase() == Phase::kEnded; };
  while (!ended() && CliSignals::Received() == 0) {
    queue.RunUntil(ended, std::chrono::milliseconds(100));
    view.Flush();
  }
  int status;
  if (!ended()) {
    const int signo = CliSignals::Received();
    workflow.Cancel();
    // A signal that came once every byte had gone out does not undo the completion the run has
    // printed: the status follows the outcome shown.
    status = workflow.result().outcome == RunOutcome::kCanceled ? kPlayInterrupted + signo
                                                                : PlayExitStatus(workflow.result());
  } else {
    status = PlayExitStatus(workflow.result());
  }
  LogLine("play: %s, %llu of %llu bytes sent, exit %d", OutcomeWord(workflow.result().outcome),
          static_cast<unsigned long long>(workflow.result().bytesSent),
          static_cast<unsigned long long>(workflow.result().bytesTotal), status);
  return status;
}

}  // namespace midiflash
