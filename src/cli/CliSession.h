// What `play` and `identify` share: the update workflow on the main queue, with its tick timer, its
// clock and the device's answers brought over from the MIDI service's thread. Main thread only.
#pragma once

#include <string>

#include "CliArgs.h"
#include "MainQueue.h"
#include "MidiOutput.h"
#include "PeriodicTimer.h"
#include "SteadyClock.h"
#include "TickHandOff.h"
#include "UpdateWorkflow.h"

namespace midiflash {

class CliSession {
 public:
  // `midi`, `view`, `files` and `queue` must outlive the session. What `midi` receives is handed to
  // the workflow on `queue` until the session ends.
  CliSession(MidiOutput& midi, UpdateView& view, FileSource& files, MainQueue& queue);
  ~CliSession();
  CliSession(const CliSession&) = delete;
  CliSession& operator=(const CliSession&) = delete;

  UpdateWorkflow& workflow() { return workflow_; }

  // Takes the source --reply-port names, if given, and makes sure that `target`'s answer can be
  // heard. Returns "" when it can, else what the user is told.
  std::string UseReplyPort(const ParsedArgs& args, const MidiDestination& target);

  // Runs the queue while the device is being asked who it is. False when a signal came first.
  bool WaitWhileIdentifying();

 private:
  MidiOutput& midi_;
  MainQueue& queue_;
  PeriodicTimer timer_;
  SteadyClock clock_;
  TickHandOff handoff_;
  UpdateWorkflow workflow_;
};

}  // namespace midiflash
