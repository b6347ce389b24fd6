#include "IdentifyCommand.h"

#include <unistd.h>

#include <cstring>
#include <iostream>

#include "CliArgs.h"
#include "CliHelp.h"
#include "CliPortMatch.h"
#include "CliSession.h"
#include "CliSignals.h"
#include "CliText.h"
#include "CliView.h"
#include "ListCommand.h"
#include "Log.h"
#include "MainQueue.h"
#include "MidiService.h"
#include "PosixFileSource.h"
#include "Receipt.h"
#include "StatusText.h"

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
  PosixFileSource files;
  CliSession session(*midi, view, files, queue);
  UpdateWorkflow& workflow = session.workflow();
  workflow.Load(target.id, UpdateWorkflow::Fallback::kNone);
  // Nothing is sent to a device whose answer could not be heard.
  if (const std::string why = session.UseReplyPort(a, target); !why.empty()) {
    err << "midiflash-cli: " << why << "\n";
    return kPlayUnusable;
  }
  workflow.Identify();
  if (!session.WaitWhileIdentifying()) return kPlayInterrupted + CliSignals::Received();
  const IdentityCheck& check = workflow.identified();
  if (json) out << IdentityJson(check) << "\n";
  if (check.requests == 0) {
    err << SendErrorText(check.sendError) << "\n" << SendErrorAdvice(check.sendError) << "\n";
    return kPlaySendFailed;
  }
  return check.reply ? kPlayCompleted : kPlayUnverified;
}

}  // namespace midiflash
