// midiflash-cli: checks, lists and plays update files without a window.
#include <iostream>
#include <string>
#include <vector>

#include "CheckCommand.h"
#include "CliHelp.h"
#include "DumpCommand.h"
#include "ListCommand.h"
#include "MidiAPI.h"
#include "PlayCommand.h"
#include "Sandbox.h"
#include "SystemLog.h"

namespace {

int Usage(std::ostream& err) {
  err << "usage: midiflash-cli check FILE [--json]\n"
         "       midiflash-cli dump FILE\n"
         "       midiflash-cli list [--json | --watch]\n"
         "       midiflash-cli play FILE [--port INDEX|NAME|PREFIX]\n"
         "Try 'midiflash-cli --help'.\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  midiflash::UseSystemLog();
  // Nothing here writes a file: from here on only the MIDI services may write, where they need to.
  midiflash::RestrictWrites();
  if (argc < 2) return Usage(std::cerr);
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    if (args.empty() || !midiflash::WriteCommandHelp(args[0], std::cout)) {
      midiflash::WriteProgramHelp(std::cout);
    }
    return 0;
  }
  if (command == "--version" || command == "-V") {
    midiflash::WriteVersion(std::cout);
    return 0;
  }
  if (command.size() > 1 && command[0] == '-')
    return midiflash::UnknownOption("", command, std::cerr);
  // A command's own help comes before anything it would do, such as opening a MIDI service.
  for (const std::string& a : args) {
    if ((a == "--help" || a == "-h") && midiflash::WriteCommandHelp(command, std::cout)) return 0;
  }
  if (command == "check") return RunCheckCommand(args, std::cout, std::cerr);
  if (command == "dump") return RunDumpCommand(args, std::cout, std::cerr);
  if (command == "play") return RunPlayCommand(args, std::cout, std::cerr);
  if (command == "list") {
    bool json = false;
    bool watch = false;
    for (const std::string& a : args) {
      if (a == "--json") {
        json = true;
      } else if (a == "--watch") {
        watch = true;
      } else if (a.size() > 1 && a[0] == '-') {
        return midiflash::UnknownOption("list", a, std::cerr);
      } else {
        return Usage(std::cerr);
      }
    }
    if (json && watch) return Usage(std::cerr);
    midiflash::MidiAPI midi;
    return watch ? RunListWatch(midi, std::cout) : RunListCommand(midi, json, std::cout);
  }
  std::cerr << "midiflash-cli: unknown command '" << command << "'\n";
  return Usage(std::cerr);
}
