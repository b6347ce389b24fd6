// A whole run in the core with the fakes: the file is chosen (check and reset), Update is clicked,
// and playback ticks follow on a fake clock until the run ends or a bound of ticks. Every message
// the recording port receives must be a copy of bytes of the file, nothing may be sent once the
// run has ended, and a complete run sends every message of the file exactly once.
//
// Input: 16 control bytes, then the file. Control byte 0 picks what happens during the run
// (nothing, a cancel, the file deleted, the file grown, every send failing from then on, the
// output reporting a delivery failure, or bytes left pending for a few ticks), bytes 1 and 2 the
// tick at which it happens (byte 3 how many ticks bytes stay pending), and bytes 4 to 15 the
// lengths of the ticks, used in turn.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "CoreFakes.h"
#include "FuzzSupport.h"
#include "SentBytesOracle.h"
#include "UpdateWorkflow.h"

using midiflash::RunOutcome;
using midiflash::fuzz::Require;
using midiflash::testing::Bytes;
using midiflash::testing::CoreHarness;
using midiflash::testing::SentBytesOracle;

namespace {

constexpr size_t kControl = 16;
constexpr int kMaxTicks = 2048;
constexpr const char* kPath = "/media/stick/update.dat";

enum Action { kNone, kCancel, kDelete, kGrow, kSendsFail, kDeliveryError, kPending, kCount };

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
  const Action action = static_cast<Action>(control[0] % kCount);
  const int action_tick = (control[1] | control[2] << 8) % kMaxTicks;

  CoreHarness h;
  h.midi.status = -50;
  h.midi.failFrom = SIZE_MAX;
  h.Choose(file, kPath);

  const SentBytesOracle oracle(file);
  const bool accepted = h.wf.lastLoadResult() == midiflash::kCheckPlayable;
  Require(accepted == oracle.walk().ok,
          "load result " + std::to_string(h.wf.lastLoadResult()) + " but the oracle " +
              (oracle.walk().ok ? "walks the file" : "cannot walk it"));
  if (!accepted) {
    Require(h.midi.sent.empty(), "a refused file sent messages");
    Require(!h.view.update, "Update enabled for a refused file");
    return 0;
  }
  Require(h.wf.phase() == midiflash::Phase::kReady, "an accepted file is not ready");

  h.wf.OnUpdateButtonClicked();
  Require(h.timer.running, "the timer did not start");
  size_t sent_at_action = SIZE_MAX;
  bool playing_at_action = false;
  const int pending_ticks = control[3] % 16;
  for (int tick = 0; tick < kMaxTicks && h.view.ends.empty(); ++tick) {
    if (tick == action_tick) {
      sent_at_action = h.midi.sent.size();
      // The opening run of the reset may already have ended every track (End of Track at tick 0).
      for (int32_t i = 0; i < h.wf.state().SmfTracks; ++i) {
        if (h.wf.state().IsPlaying(h.wf.state().sTrk[i])) playing_at_action = true;
      }
      if (action == kCancel) h.wf.OnCancelButtonClicked();
      if (action == kDelete) h.files.Remove(kPath);
      if (action == kGrow) h.files.Put(kPath, Bytes(file.size() + 1, 0x90));
      if (action == kSendsFail) h.midi.failFrom = h.midi.sent.size();
      if (action == kDeliveryError) h.midi.deliveryError = -110;
      if (action == kPending) h.midi.pending = 1000;
    }
    if (action == kPending && tick == action_tick + pending_ticks) h.midi.pending = 0;
    h.clock.now += TickLength(control[4 + tick % 12]);
    h.wf.SmfPlayProc();
    if (tick == action_tick && action == kCancel) {
      Require(!h.view.ends.empty(), "the tick after Cancel did not end the run");
    }
  }

  std::string why = oracle.JudgeAll(h.midi.sent);
  Require(why.empty(), why);
  if ((action == kDelete || action == kGrow) && sent_at_action != SIZE_MAX) {
    Require(h.midi.sent.size() == sent_at_action, "sent from a file that is gone or changed");
  }
  if (h.view.ends.empty()) return 0;

  // Ticks queued before the timer stopped still arrive; the buttons are clicked as well.
  const size_t sent_at_end = h.midi.sent.size();
  const RunOutcome outcome = h.view.ends.front();
  Require(!h.timer.running, "the timer runs after the end");
  for (int i = 0; i < 3; ++i) {
    h.clock.now += 1000.0;
    h.wf.SmfPlayProc();
    h.wf.OnUpdateButtonClicked();
    h.wf.OnCancelButtonClicked();
  }
  Require(h.midi.sent.size() == sent_at_end, "sent after the end of the run");
  Require(h.view.ends.size() == 1, "a run ended more than once");
  Require(h.view.fileSel && !h.view.update && !h.view.cancel && h.view.midiOut,
          "controls not restored after the end");
  if (action == kSendsFail && sent_at_action != SIZE_MAX) {
    Require(sent_at_end <= sent_at_action + 1, "sent on after a failed send");
  }
  if (action == kDeliveryError && sent_at_action != SIZE_MAX) {
    Require(sent_at_end == sent_at_action, "sent on after a delivery failure");
  }

  const bool acted = sent_at_action != SIZE_MAX;
  const bool file_gone = acted && playing_at_action && (action == kDelete || action == kGrow);
  switch (outcome) {
    case RunOutcome::kCompleted:
      Require(!file_gone, Name(outcome) + " without a readable file");
      Require(h.midi.pending == 0, "completed with bytes still pending");
      Require(!(acted && playing_at_action && action == kDeliveryError),
              "completed after a delivery failure");
      Require(!(acted && action == kSendsFail && sent_at_end > sent_at_action),
              "completed after a failed send");
      why = oracle.JudgeComplete(h.midi.sent);
      Require(why.empty(), "complete run: " + why);
      break;
    case RunOutcome::kSendFailed:
      Require(acted && (action == kSendsFail || action == kDeliveryError),
              "SendFailed with every send and delivery good");
      break;
    case RunOutcome::kCanceled:
      Require(acted && action == kCancel, "Canceled with no cancel");
      break;
    case RunOutcome::kFileFailed:
      Require(file_gone, "FileFailed with the file in place");
      break;
  }
  return 0;
}
