// A whole run on the fakes, judged by the walkers; a System Exclusive file's messages leave one at
// a time, never while bytes are pending, the gap apart. Input: 16 control bytes, then the file.
// Byte 0 picks what happens during the run, bytes 1 and 2 the tick when, byte 3 how many ticks
// bytes stay pending, bytes 4 to 15 the tick lengths in turn.
#include <algorithm>
#include <cmath>

#include "CoreFakes.h"
#include "Log.h"
#include "SentBytesOracle.h"

using namespace midiflash;
using namespace midiflash::testing;

constexpr int kMaxTicks = 2048;
constexpr const char* kPath = "/media/stick/update.dat";
enum Action { kNone, kCancel, kDelete, kGrow, kSendsFail, kDeliveryError, kPending, kCount };

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScopedLogCapture quiet([](const std::string&) {});  // long delta times are logged
  const size_t head = std::min<size_t>(size, 16);
  Bytes control(data, data + head), file(data + head, data + size);
  control.resize(16);
  const auto action = Action(control[0] % kCount);
  const int action_tick = (control[1] | control[2] << 8) % kMaxTicks;

  CoreHarness h;
  h.Choose(file, kPath);
  const bool accepted = h.wf.file().checked->playable();
  Require(accepted == WalkFile(file).ok, "load result and oracle disagree");
  if (!accepted) return Require(h.midi.sent.empty() && !h.view.shown.update, "refused, sent"), 0;
  Require(h.wf.phase() == Phase::kReady, "an accepted file is not ready");
  h.wf.Start();
  Require(h.timer.running, "the timer did not start");
  size_t sent_at_action = SIZE_MAX;
  bool playing_at_action = false;
  const bool by_message = h.wf.file().checked->kind == FileKind::kSysEx;
  std::vector<double> sent_at;  // of each message of a System Exclusive file
  for (int tick = 0; tick < kMaxTicks && h.view.ends.empty(); ++tick) {
    if (tick == action_tick) {
      sent_at_action = h.midi.sent.size();
      playing_at_action = h.wf.phase() == Phase::kUpdating;
      if (action == kCancel) h.wf.Cancel();
      if (action == kDelete) h.files.files.erase(kPath);
      if (action == kGrow) h.files.Put(kPath, Bytes(file.size() + 1, 0x90));
      if (action == kSendsFail) h.midi.status = -50, h.midi.failFrom = h.midi.sent.size();
      if (action == kDeliveryError) h.midi.deliveryError = -110;
      if (action == kPending) h.midi.pending = 1000;
    }
    if (action == kPending && tick == action_tick + control[3] % 16) h.midi.pending = 0;
    // From well under one timer period up to leaps that cross any delta time at once.
    const uint8_t code = control[4 + tick % 12];
    h.clock.now += code < 128   ? code * 0.00025
                   : code < 240 ? (code - 127) * (code - 127) * 0.01
                                : std::pow(10.0, code - 236);
    const size_t sent_before = h.midi.sent.size();
    const bool pending = h.midi.pending > 0;
    h.wf.Tick();
    if (by_message && h.midi.sent.size() > sent_before) {
      Require(h.midi.sent.size() == sent_before + 1 && !pending, "sent while bytes were pending");
      sent_at.push_back(h.clock.now);
    }
    Require(tick != action_tick || action != kCancel || !h.view.ends.empty(), "Cancel did not end");
  }
  std::string why = JudgeSent(file, h.midi.sent, false);
  Require(why.empty(), why);
  for (size_t i = 1; i < sent_at.size(); ++i) {
    // The run measures from its start: a few units in the last place of the clock's value apart.
    const double slack = 8 * (std::nextafter(sent_at[i], INFINITY) - sent_at[i]);
    Require(sent_at[i] - sent_at[i - 1] >= kDefaultSysExGapMs / 1000.0 - slack, "a gap cut short");
  }
  const bool acted = sent_at_action != SIZE_MAX;
  const auto did = [&](Action a) { return acted && action == a; };
  Require((!did(kDelete) && !did(kGrow)) || h.midi.sent.size() == sent_at_action,
          "sent from a file that is gone or changed");
  if (h.view.ends.empty()) return 0;

  // Ticks queued before the timer stopped still arrive; the buttons are clicked as well.
  const size_t sent_at_end = h.midi.sent.size();
  const RunOutcome outcome = h.view.ends.front();
  Require(!h.timer.running, "the timer runs after the end");
  for (int i = 0; i < 3; ++i) h.clock.now += 1000.0, h.wf.Tick(), h.wf.Start(), h.wf.Cancel();
  Require(h.midi.sent.size() == sent_at_end && h.view.ends.size() == 1, "sent or ended again");
  Require(h.view.shown == Controls{true, false, false, true, true, true}, "controls not restored");
  Require(!did(kSendsFail) || sent_at_end <= sent_at_action + 1, "sent on after a failed send");
  Require(!did(kDeliveryError) || sent_at_end == sent_at_action, "sent on after a lost delivery");
  const bool file_gone = playing_at_action && (did(kDelete) || did(kGrow));
  // A file that changes after its last message was sent may still complete the run.
  Require(outcome != RunOutcome::kFileFailed || file_gone, "FileFailed without cause");
  Require(!file_gone || outcome == RunOutcome::kFileFailed || outcome == RunOutcome::kCompleted,
          "a changed file neither failed nor completed the run");
  Require(outcome != RunOutcome::kSendFailed || did(kSendsFail) || did(kDeliveryError),
          "SendFailed with every send good");
  Require(outcome != RunOutcome::kCanceled || did(kCancel), "Canceled uncanceled");
  if (outcome != RunOutcome::kCompleted) return 0;
  Require(h.midi.pending == 0, "completed with bytes still pending");
  Require(!(playing_at_action && did(kDeliveryError)), "completed after a delivery failure");
  Require(!(did(kSendsFail) && sent_at_end > sent_at_action), "completed after a failed send");
  why = JudgeSent(file, h.midi.sent, true);
  Require(why.empty(), "complete run: " + why);
  return 0;
}
