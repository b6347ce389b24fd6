// A whole run in the core with the fakes: the file is chosen (check and reset), Update is clicked,
// and playback ticks follow on a fake clock until the run ends or a bound of ticks. Every message
// the recording port receives must be a copy of bytes of the file, nothing may be sent once the
// run has ended, and a complete run sends every message of the file exactly once.
//
// Input: 16 control bytes, then the file. Control byte 0 picks what happens during the run
// (nothing, a cancel, the file deleted, the file grown, or every send failing), bytes 1 and 2 the
// tick at which it happens, and bytes 4 to 15 the lengths of the ticks, used in turn.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "CoreFakes.h"
#include "FuzzSupport.h"
#include "SentBytesOracle.h"
#include "UpdateWorkflow.h"

using midiflash::RunOutcome;
using midiflash::UpdateWorkflow;
using midiflash::fuzz::Require;
using midiflash::testing::Bytes;
using midiflash::testing::FakeChooser;
using midiflash::testing::FakeClock;
using midiflash::testing::FakeFiles;
using midiflash::testing::FakeMidi;
using midiflash::testing::FakeTimer;
using midiflash::testing::FakeView;
using midiflash::testing::SentBytesOracle;

namespace {

constexpr size_t kControl = 16;
constexpr int kMaxTicks = 2048;
constexpr const char* kPath = "/media/stick/update.dat";

enum Action { kNone, kCancel, kDelete, kGrow, kSendsFail };

// From well under one timer period up to leaps that cross any delta time at once.
double TickLength(uint8_t code) {
  if (code == 0) return 0.0;
  if (code < 128) return code * 0.00025;
  if (code < 240) return (code - 127) * (code - 127) * 0.01;
  return std::pow(10.0, code - 236);
}

std::string Name(RunOutcome o) {
  switch (o) {
    case RunOutcome::kCompleted:
      return "Completed";
    case RunOutcome::kCanceled:
      return "Canceled";
    case RunOutcome::kSendFailed:
      return "SendFailed";
    case RunOutcome::kFileFailed:
      return "FileFailed";
  }
  return "?";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  midiflash::fuzz::QuietLog();
  uint8_t control[kControl] = {};
  const size_t head = size < kControl ? size : kControl;
  for (size_t i = 0; i < head; ++i) control[i] = data[i];
  const Bytes file(data + head, data + size);
  const Action action = static_cast<Action>(control[0] % 5);
  const int action_tick = (control[1] | control[2] << 8) % kMaxTicks;

  FakeMidi midi;
  FakeView view;
  FakeChooser chooser;
  FakeFiles files;
  FakeClock clock;
  FakeTimer timer;
  UpdateWorkflow wf{midi, view, chooser, files, clock, timer, "/opt/midiflash"};
  wf.WindowDidLoad();
  if (action == kSendsFail) midi.status = -50;
  files.Put(kPath, file);
  chooser.answer = kPath;
  wf.OnFileSelClick();

  const SentBytesOracle oracle(file);
  const bool accepted = wf.lastLoadResult() == midiflash::kCheckPlayable;
  Require(accepted == oracle.walk().ok,
          "load result " + std::to_string(wf.lastLoadResult()) + " but the oracle " +
              (oracle.walk().ok ? "walks the file" : "cannot walk it"));
  if (!accepted) {
    Require(midi.sent.empty(), "a refused file sent messages");
    Require(!wf.view().updateEnabled, "Update enabled for a refused file");
    return 0;
  }
  Require(wf.view().updateEnabled, "Update disabled for an accepted file");

  wf.OnUpdateButtonClicked();
  Require(timer.running, "the timer did not start");
  size_t sent_at_action = SIZE_MAX;
  bool playing_at_action = false;
  for (int tick = 0; tick < kMaxTicks && view.ends.empty(); ++tick) {
    if (tick == action_tick) {
      sent_at_action = midi.sent.size();
      // The opening run of the reset may already have ended every track (End of Track at tick 0).
      for (int32_t i = 0; i < wf.state().SmfTracks; ++i) {
        if (wf.state().IsPlaying(wf.state().sTrk[i])) playing_at_action = true;
      }
      if (action == kCancel) wf.OnCancelButtonClicked();
      if (action == kDelete) files.Remove(kPath);
      if (action == kGrow) files.Put(kPath, Bytes(file.size() + 1, 0x90));
    }
    clock.now += TickLength(control[4 + tick % 12]);
    wf.SmfPlayProc();
    if (tick == action_tick && action == kCancel) {
      Require(!view.ends.empty(), "the tick after Cancel did not end the run");
    }
  }

  std::string why = oracle.JudgeAll(midi.sent);
  Require(why.empty(), why);
  if ((action == kDelete || action == kGrow) && sent_at_action != SIZE_MAX) {
    Require(midi.sent.size() == sent_at_action, "sent from a file that is gone or changed");
  }
  if (view.ends.empty()) return 0;

  // Ticks queued before the timer stopped still arrive; the buttons are clicked as well.
  const size_t sent_at_end = midi.sent.size();
  const RunOutcome outcome = view.ends.front();
  Require(!timer.running, "the timer runs after the end");
  for (int i = 0; i < 3; ++i) {
    clock.now += 1000.0;
    wf.SmfPlayProc();
    wf.OnUpdateButtonClicked();
    wf.OnCancelButtonClicked();
  }
  Require(midi.sent.size() == sent_at_end, "sent after the end of the run");
  for (RunOutcome o : view.ends) Require(o == outcome, "a later tick reported another end");
  Require(wf.view().fileSelEnabled && !wf.view().updateEnabled && !wf.view().cancelEnabled &&
              wf.view().midiOutDeviceEnabled,
          "controls not restored after the end");

  const bool acted = sent_at_action != SIZE_MAX;
  const bool file_gone = acted && playing_at_action && (action == kDelete || action == kGrow);
  switch (outcome) {
    case RunOutcome::kCompleted:
    case RunOutcome::kSendFailed: {
      Require(!file_gone, Name(outcome) + " without a readable file");
      Require((outcome == RunOutcome::kSendFailed) == (action == kSendsFail && sent_at_end > 0),
              Name(outcome) + " does not match the sends");
      why = oracle.JudgeComplete(midi.sent);
      Require(why.empty(), "complete run: " + why);
      break;
    }
    case RunOutcome::kCanceled:
      Require(acted && action == kCancel, "Canceled with no cancel");
      break;
    case RunOutcome::kFileFailed:
      Require(file_gone, "FileFailed with the file in place");
      break;
  }
  return 0;
}
