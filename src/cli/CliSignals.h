// SIGINT and SIGTERM as a request to stop, for a command that runs until the user ends it: the
// handler records the signal and wakes the main queue, whose loop looks at Received().
#pragma once

#include <signal.h>

#include "MainQueue.h"

class CliSignals {
 public:
  // Installs the handlers for the life of the object and puts the old ones back afterwards.
  // One object at a time.
  explicit CliSignals(midiflash::MainQueue& queue);
  ~CliSignals();
  CliSignals(const CliSignals&) = delete;
  CliSignals& operator=(const CliSignals&) = delete;

  // The signal received since construction, 0 when none.
  static int Received();

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};
