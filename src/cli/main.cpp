// midiflash-cli: checks, lists and plays update files without a window.
#include <iostream>
#include <string>
#include <vector>

#include "CheckCommand.h"
#include "CliHelp.h"
#include "DumpCommand.h"
#include "IdentifyCommand.h"
#include "ListCommand.h"
#include "MidiService.h"
#include "PlayCommand.h"
#include "Sandbox.h"
#include "SystemLog.h"

namespace {

int Usage(std::ostream& err) {
  err << "usage: midiflash-cli check [--json] [-p PORT] [--gap MS] FILE\n"
         "       midiflash-cli dump FILE\n"
         "       midiflash-cli identify [-p PORT] [--reply-port PORT] [--json]\n"
         "       midiflash-cli list [--json | --watch] [--sources]\n"
         "       midiflash-cli play [-p PORT] [--gap MS] [--verify [--verify-wait S]\n"
         "                          [--reply-port PORT]] [--receipt FILE] FILE\n"
         "Try 'midiflash-cli --help'.\n";
  return 2;
}

// Takes -v/--verbose out of `args` (up to a "--") and tells whether it was there.
bool TakeVerbose(std::vector<std::string>& args) {
  bool verbose = false;
  for (auto it = args.begin(); it != args.end() && *it != "--";) {
    if (*it == "-v" || *it == "--verbose") {
      verbose = true;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  return verbose;
}

int ListCommand(const std::vector<std::string>& args) {
  bool json = false, watch = false, sources = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a == "--watch") {
      watch = true;
    } else if (a == "--sources") {
      sources = true;
    } else {
      return midiflash::UsageError(
          "list", a.size() > 1 && a[0] == '-' ? "unknown option '" + a + "'" : "no FILE is taken",
          std::cerr);
    }
  }
  if (json && watch) return midiflash::UsageError("list", "--json or --watch, not both", std::cerr);
  if (sources && watch) {
    return midiflash::UsageError("list", "--sources or --watch, not both", std::cerr);
  }
  const auto midi = midiflash::OpenMidiOutput();
  return watch ? RunListWatch(*midi, std::cout, std::cerr)
               : RunListCommand(*midi, json, std::cout, std::cerr, sources);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // The log is the program's record for syslog; the terminal gets it only when asked.
  midiflash::UseSystemLog(TakeVerbose(args));
  if (args.empty()) {
    midiflash::RestrictWrites();
    return Usage(std::cerr);
  }
  const std::string command = args[0];
  args.erase(args.begin());
  // Nothing but play writes a file: from here on only the MIDI services may write, where they need
  // to. play first creates the receipt it was asked for, then restricts itself in the same way.
  if (command != "play") midiflash::RestrictWrites();
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
  if (command == "-l" || command == "--list") return ListCommand(args);
  if (command.size() > 1 && command[0] == '-') {
    return midiflash::UsageError("", "unknown option '" + command + "'", std::cerr);
  }
  // A command's own help comes before anything it would do, such as opening a MIDI service.
  for (const std::string& a : args) {
    if (a == "--") break;
    if ((a == "--help" || a == "-h") && midiflash::WriteCommandHelp(command, std::cout)) return 0;
  }
  if (command == "check") return midiflash::RunCheckCommand(args, std::cout, std::cerr);
  if (command == "dump") return midiflash::RunDumpCommand(args, std::cout, std::cerr);
  if (command == "identify") return midiflash::RunIdentifyCommand(args, std::cout, std::cerr);
  if (command == "play") return midiflash::RunPlayCommand(args, std::cout, std::cerr);
  if (command == "list") return ListCommand(args);
  std::cerr << "midiflash-cli: unknown command '" << command << "'\n";
  return Usage(std::cerr);
}
