#include "PlayCommand.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "CliHelp.h"
#include "CliView.h"
#include "Clock.h"
#include "FileChooser.h"
#include "FileSource.h"
#include "MainQueue.h"
#include "MidiAPI.h"
#include "TickHandOff.h"
#include "UpdateWorkflow.h"
#include "mmTimer.h"

namespace {

using namespace midiflash;

volatile sig_atomic_t g_signal = 0;
MainQueue* g_queue = nullptr;

void OnSignal(int signo) {
  g_signal = signo;
  if (g_queue != nullptr) g_queue->Wake();
}

// Installs the cancel handlers for the life of a run and puts the old ones back afterwards.
class CancelSignals {
 public:
  explicit CancelSignals(MainQueue& queue) {
    g_signal = 0;
    g_queue = &queue;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
  }
  ~CancelSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    g_queue = nullptr;
  }

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

std::string AppDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.find_last_of('/'));
}

// An index, or else the first destination whose name equals, then contains, the text.
int64_t FindPort(const std::vector<std::string>& names, const std::string& wanted) {
  char* end = nullptr;
  long index = std::strtol(wanted.c_str(), &end, 10);
  if (!wanted.empty() && *end == '\0') {
    return index >= 0 && static_cast<size_t>(index) < names.size() ? index : -1;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == wanted) return static_cast<int64_t>(i);
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].find(wanted) != std::string::npos) return static_cast<int64_t>(i);
  }
  return -1;
}

int ExitFor(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted:
      return kPlayCompleted;
    case RunOutcome::kSendFailed:
      return kPlaySendFailed;
    case RunOutcome::kFileFailed:
      return kPlayFileChanged;
    case RunOutcome::kCanceled:
      break;
  }
  return kPlayInterrupted + SIGINT;
}

}  // namespace

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
      err << "usage: midiflash-cli play FILE [--port INDEX|NAME]\n";
      return kPlayUnusable;
    }
  }
  if (file.empty()) {
    err << "usage: midiflash-cli play FILE [--port INDEX|NAME]\n";
    return kPlayUnusable;
  }

  // Handlers first: a Ctrl-C at any moment from here on cancels with the cancel text.
  MainQueue queue;
  CancelSignals signals(queue);
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
    view.PrintLine(workflow.state().cmessage.CANCELED);
    return kPlayInterrupted + g_signal;
  };

  workflow.WindowDidLoad();
  if (g_signal != 0) return interrupted();
  if (view.destinations().empty()) {
    err << "midiflash-cli: no MIDI destination found (is a JACK server or the ALSA sequencer "
           "running?)\n";
    return kPlayUnusable;
  }
  if (have_port) {
    const int64_t index = FindPort(view.destinations(), port);
    if (index < 0) {
      err << "midiflash-cli: no MIDI destination matches '" << port << "'\n";
      return kPlayUnusable;
    }
    view.SelectDestination(index);
    workflow.OnMidiOutSelChanged();
  }
  view.PrintLine("Destination: " + view.destinations()[view.SelectedDestination()]);

  workflow.OnFileSelClick();
  if (!workflow.view().updateEnabled) {
    return workflow.lastLoadResult() < 0 ? kPlayUnusable : kPlayRefused;
  }
  // The file's opening messages may have gone out already; the update itself has not started.
  if (g_signal != 0) return interrupted();

  workflow.OnUpdateButtonClicked();
  while (!workflow.view().ended && g_signal == 0) {
    queue.RunUntil([&workflow] { return workflow.view().ended; }, std::chrono::milliseconds(100));
    view.Flush();
  }
  if (!workflow.view().ended) {
    const int signo = g_signal;
    workflow.OnCancelButtonClicked();
    // Ticks queued before the stop end the run with the cancel text; with none, say it here.
    queue.RunPending();
    if (!workflow.view().ended) view.PrintLine(workflow.state().cmessage.CANCELED);
    return kPlayInterrupted + signo;
  }
  return ExitFor(workflow.view().lastOutcome);
}
