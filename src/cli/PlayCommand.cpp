#include "PlayCommand.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "CliHelp.h"
#include "CliPortMatch.h"
#include "CliSignals.h"
#include "CliView.h"
#include "FileChooser.h"
#include "MainQueue.h"
#include "MidiAPI.h"
#include "PosixFileSource.h"
#include "StatusText.h"
#include "SteadyClock.h"
#include "TickHandOff.h"
#include "UpdateWorkflow.h"
#include "mmTimer.h"

namespace {

using namespace midiflash;

std::string AppDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.find_last_of('/'));
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

int RunPlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  std::string port;
  bool have_port = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--port" && i + 1 < args.size()) {
      port = args[++i];
      have_port = true;
    } else if (args[i].size() > 1 && args[i][0] == '-' && args[i] != "--port") {
      return UnknownOption("play", args[i], err);
    } else if (file.empty() && args[i].rfind("--", 0) != 0) {
      file = args[i];
    } else {
      err << "usage: midiflash-cli play FILE [--port INDEX|NAME|PREFIX]\n";
      return kPlayUnusable;
    }
  }
  if (file.empty()) {
    err << "usage: midiflash-cli play FILE [--port INDEX|NAME|PREFIX]\n";
    return kPlayUnusable;
  }

  // Handlers first: a Ctrl-C at any moment from here on cancels with the cancel text.
  MainQueue queue;
  CliSignals signals(queue);
  MidiAPI midi;
  mmTimer timer;
  CliView view(out, &out == &std::cout && isatty(STDOUT_FILENO));
  FixedFileChooser chooser(file);
  PosixFileSource files;
  SteadyClock clock;
  UpdateWorkflow* running = nullptr;
  TickHandOff handoff(
      timer, [&queue](std::function<void()> task) { queue.Post(std::move(task)); },
      [&running] { running->SmfPlayProc(); });
  UpdateWorkflow workflow(midi, view, chooser, files, clock, handoff, AppDir());
  running = &workflow;
  const auto interrupted = [&] {
    view.PrintLine(NoticeText(Notice::kCanceled));
    return kPlayInterrupted + CliSignals::Received();
  };

  workflow.WindowDidLoad();
  if (CliSignals::Received() != 0) return interrupted();
  if (view.destinations().empty()) {
    err << "midiflash-cli: no MIDI destination found (is a JACK server or the ALSA sequencer "
           "running?)\n";
    return kPlayUnusable;
  }
  if (have_port) {
    // The list the workflow shows, so that the index chosen is the entry matched.
    const PortMatch match = MatchPort(workflow.destinations(), port);
    if (match.index < 0) {
      err << "midiflash-cli: " << match.error << "\n";
      return kPlayUnusable;
    }
    // The load step has opened the first destination already; opening it once more would only
    // drop and remake the connection just before the opening messages go out.
    if (match.index != view.SelectedDestination()) {
      view.SelectDestination(match.index);
      workflow.OnMidiOutSelChanged();
    }
  }
  const auto selected = static_cast<size_t>(view.SelectedDestination());
  if (selected >= view.destinations().size()) {
    err << "midiflash-cli: the MIDI destination went away\n";
    return kPlayUnusable;
  }
  view.PrintLine("Destination: " + view.destinations()[selected]);

  workflow.OnFileSelClick();
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
  // The file's opening messages may have gone out already; the update itself has not started.
  if (CliSignals::Received() != 0) return interrupted();

  workflow.OnUpdateButtonClicked();
  if (workflow.phase() == Phase::kNotOpened) return kPlaySendFailed;
  const auto ended = [&workflow] { return workflow.phase() == Phase::kEnded; };
  while (!ended() && CliSignals::Received() == 0) {
    queue.RunUntil(ended, std::chrono::milliseconds(100));
    view.Flush();
  }
  if (!ended()) {
    const int signo = CliSignals::Received();
    workflow.OnCancelButtonClicked();
    // A signal that came once every byte had gone out does not undo the completion the run has
    // printed: the status follows the outcome shown.
    if (workflow.result().outcome == RunOutcome::kCanceled) return kPlayInterrupted + signo;
  }
  return PlayExitStatus(workflow.result());
}
