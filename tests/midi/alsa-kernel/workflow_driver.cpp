// Drives the update workflow in the QEMU guest step by step as a user drives the window, printing
// what it shows as the command line does. Steps: dest NAME (the first destination whose name
// holds NAME), file PATH (chooses the file), run - (the update, to its end), idle S (S seconds).
#include <iostream>
#include <string>
#include <thread>

#include "CliSession.h"
#include "CliView.h"
#include "MidiService.h"
#include "PosixFileSource.h"

using namespace midiflash;

int main(int argc, char** argv) {
  MainQueue queue;
  const auto midi = OpenMidiOutput();
  CliView view(std::cout, false);
  PosixFileSource files;
  CliSession session(*midi, view, files, queue);
  UpdateWorkflow& workflow = session.workflow();
  workflow.Load("", UpdateWorkflow::Fallback::kNone);
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string step = argv[i], arg = argv[i + 1];
    std::cout << "> " << step << " " << arg << std::endl;
    if (step == "dest") {
      for (const MidiDestination& d : workflow.destinations()) {
        if (d.name.find(arg) == std::string::npos) continue;
        workflow.ChooseDestination(d.id);  // which may renew the list
        break;
      }
    } else if (step == "file") {
      workflow.ChooseFile(arg);
    } else if (step == "run") {
      workflow.Start();
      queue.RunUntil([&] { return workflow.phase() == Phase::kEnded; }, std::chrono::minutes(2));
    } else if (step == "idle") {
      std::this_thread::sleep_for(std::chrono::seconds(std::stoi(arg)));
    }
  }
  return workflow.phase() == Phase::kEnded ? 0 : 1;
}
