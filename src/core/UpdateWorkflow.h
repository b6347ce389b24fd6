// The update workflow shared by the window and the command line: a file and a destination are
// chosen, the file's opening messages go to the destination, a run plays the rest in real time and
// ends with a true outcome. On request the device is asked who it is (Identify), and a verified
// update asks it before the opening messages and again after the run. It holds the phase, the
// checked file, the playback and the chosen destination, and decides every text and control state;
// front ends render them through UpdateView and tell it what the user did.
//
// Threads: every call comes on one thread, the one that also runs the queued playback ticks.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CheckedFile.h"
#include "Clock.h"
#include "FileSource.h"
#include "Identity.h"
#include "MidiOutput.h"
#include "Pacing.h"
#include "Playback.h"
#include "TickTimer.h"
#include "UpdateView.h"

namespace midiflash {

class UpdateWorkflow {
 public:
  // What the load step, and a list that changes while nothing is chosen, choose by themselves.
  enum class Fallback {
    kFirstDevice,  // the first destination that is not a pass-through port
    kNone,         // nothing: the user names the destination
  };

  UpdateWorkflow(MidiOutput& midi, UpdateView& view, FileSource& files, Clock& clock,
                 TickTimer& timer);

  // The load step: the guidance to choose a file, Update and Cancel disabled, progress at 0, and
  // the destination list, with `preferred` chosen when it is listed, else as `fallback` says.
  void Load(const std::string& preferred, Fallback fallback);
  // Reads and checks the file at `path` (UseFile). Ignored while a run is on.
  void ChooseFile(const std::string& path);
  // Takes a file loaded already: Unreadable, Refused, or once it is accepted, its opening messages
  // go to the chosen destination (Offer). Ignored while a run is on.
  void UseFile(LoadedFile loaded);
  // Makes the listed destination `id` the chosen one and opens it; a file that is accepted sends
  // its opening messages there at once (after asking the device who it is, when verifying),
  // unless they reached that same destination already. A destination that went away since the
  // list was shown is not replaced by another: the list is read again and shows it gone. Ignored
  // while busy.
  void ChooseDestination(const std::string& id);
  // Whether updates are verified: the device is asked who it is before a file's opening messages
  // go to it (Identifying; no answer within 2 s: the file is offered all the same), and after a
  // completed run it is asked every 2 s, from 2 s on, until it answers again or `waitSeconds`
  // have passed (Verifying). A device that went away meanwhile is looked for under its name and
  // among destinations that appeared since the run started, and known by its identity. Takes
  // effect from the next file offered; a file whose opening messages went already is asked after
  // its run only. Ignored while busy.
  void SetVerify(bool on, uint32_t waitSeconds = kDefaultVerifyWaitSeconds);
  bool verify() const { return verify_; }
  // The source the device answers from, as the user named it (its identity; after a restart, a
  // source of the same name); empty: the one FindReplySource pairs with the destination.
  void SetReplySource(const MidiDestination& source);
  // The source device `d` is listened to on; none when no source fits.
  std::optional<MidiDestination> ReplySourceFor(const MidiDestination& d);
  // Asks the chosen destination who it is: one Identity Request and 2 s for the answer
  // (Identifying), then back to the phase before, with identified() telling. Ignored while busy
  // or without a chosen destination that is present.
  void Identify();
  // Bytes from the source listened to, queued onto this thread from the service's
  // (MidiOutput::SetReceived). Ignored unless the device is being asked.
  void Received(const uint8_t* data, size_t size);
  // The gap a System Exclusive file leaves between messages, 0 to kMaxSysExGapMs milliseconds
  // (kDefaultSysExGapMs until set). Ignored while a run is on: a run keeps the gap it started with.
  void SetSysExGap(uint32_t ms);
  uint32_t sysExGap() const { return gap_ms_; }
  // Starts a run. Ignored unless Ready; a delivery failure of the opening messages reported since
  // they were sent leaves the run unstarted (NotOpened).
  void Start();
  // Cancels a run: drops what still waits to go out, stops the timer and ends the run at once with
  // the cancel text (the completion text when every track had ended, nothing was dropped and no
  // loss report could still come).
  // While Verifying, stops waiting for the device (it counts as not answering). Ignored otherwise.
  void Cancel();
  // The MIDI service's destinations may have changed; front ends queue this onto the workflow's
  // thread. Outside a run the list is read again at once: the chosen destination stays selected
  // wherever it stands; gone, it stays listed as gone and a file waiting for it says so (a notice,
  // not a send error); back again, it is opened and the file's opening messages go to it again.
  // During a run, or while Identifying, the list is read again when that has ended; while
  // Verifying at once, and a device that appeared is asked at once.
  void DestinationsChanged();
  // One queued playback tick. While Updating it advances the run; once every track has ended it
  // waits (Draining) until the MIDI output has nothing pending and no loss report due; it ends
  // the run at the first failed send or delivery error, when the file changes, at the end, or
  // after a cancel. While Identifying or Verifying it sends the requests that are due and ends
  // the asking at its deadline. Ticks after the end do nothing.
  void Tick();

  Phase phase() const { return phase_; }
  Controls controls() const;
  // Updating or Draining: the device is being written to.
  bool running() const { return phase_ == Phase::kUpdating || phase_ == Phase::kDraining; }
  // Running, Identifying or Verifying: choices wait.
  bool busy() const {
    return running() || phase_ == Phase::kIdentifying || phase_ == Phase::kVerifying;
  }
  // How the latest run ended; meaningful in phase Ended (after Verifying, with `after`).
  const RunResult& result() const { return result_; }
  // Whether a run has started since Load; the file and destination it went to.
  bool ran() const { return ran_; }
  const LoadedFile& runFile() const { return run_file_; }
  const MidiDestination& runDestination() const { return run_destination_; }
  // Who the device said it was before the opening messages of the file offered last.
  const IdentityCheck& before() const { return before_; }
  // The latest Identify's answer, or its absence.
  const IdentityCheck& identified() const { return identified_; }
  // The destinations as listed now (without a gone one).
  const std::vector<MidiDestination>& destinations() const { return destinations_; }
  // The chosen destination, if any, and whether it went away.
  const std::optional<MidiDestination>& chosen() const { return chosen_; }
  bool chosenGone() const { return chosen_gone_; }
  // The file chosen last, as loaded.
  const LoadedFile& file() const { return file_; }

 private:
  enum class FileState { kNone, kUnreadable, kRefused, kAccepted, kPlayed };

  void SetPhase(Phase phase);
  // An accepted file and the chosen destination: checks the file's largest message against it and
  // that the file is unchanged, then sends the opening messages.
  void Offer();
  // The rest of Offer once the device was asked (or was not to be): the opening messages.
  void SendOpening();
  void Hold(Notice notice, const std::string& detail);
  void NotOpened(int32_t status);
  // Sends one message, logging a failure and counting the bytes handed over.
  int32_t Send(const uint8_t* data, size_t size);
  // Whether the file still holds the bytes that were checked.
  bool FileUnchanged();
  // Reads the destinations and shows them, the chosen one selected or marked gone.
  void ShowDestinations();
  void Choose(const MidiDestination& d);
  void PlayTick();
  void DrainTick();
  void EndRun(RunOutcome outcome, int32_t status = 0);
  // The last step of a run: Ended, and the view told.
  void FinishRun();
  int32_t DeliveryFailure() const;
  // What has left the computer by now: bytes, and the messages they complete.
  void Left(uint64_t bytes);

  // Asking the device.
  void BeginAsking(IdentityCheck::Stage stage);
  // Listens to the source of `d`; false (listening to none) when there is none or it failed.
  bool ListenTo(const MidiDestination& d);
  void SendRequest();
  // Verifying: asks the next destination that may be the device.
  void AskCandidate();
  void AskTick();
  void EndAsking();
  void VerifyDestinationsChanged();

  MidiOutput& midi_;
  UpdateView& view_;
  FileSource& files_;
  Clock& clock_;
  TickTimer& timer_;

  Phase phase_ = Phase::kNoFile;
  Fallback fallback_ = Fallback::kNone;

  LoadedFile file_;
  FileState file_state_ = FileState::kNone;
  // The playback of the file offered last; its opening messages went to `opened_for_`.
  std::unique_ptr<Playback> playback_;
  std::string opened_for_;

  std::vector<MidiDestination> destinations_;
  std::optional<MidiDestination> chosen_;
  bool chosen_gone_ = false;
  // The service reported a change during a run.
  bool list_changed_ = false;

  uint32_t gap_ms_ = kDefaultSysExGapMs;

  // Asking the device: the round, its check, and for Identify the phase to go back to.
  Identification asking_;
  IdentityCheck check_;
  IdentityCheck before_;  // of the file offered last
  IdentityCheck identified_;
  Phase resume_phase_ = Phase::kNoFile;
  double asking_since_ = 0.0;
  bool verify_ = false;
  uint32_t verify_wait_ = kDefaultVerifyWaitSeconds;
  std::optional<MidiDestination> reply_source_;
  // Verifying: the destination open for the requests, those listed when the run started, and
  // which one of the candidates is asked next.
  std::string asked_id_;
  std::vector<std::string> listed_at_start_;
  size_t candidate_turn_ = 0;

  // The run.
  bool ran_ = false;
  LoadedFile run_file_;
  MidiDestination run_destination_;
  double started_at_ = 0.0;
  double started_utc_ = 0.0;
  uint64_t warnings_at_start_ = 0;
  uint64_t bytes_handed_ = 0;  // by sends that returned 0, opening messages included
  uint64_t bytes_left_ = 0;    // known to have left the computer at the latest tick
  uint64_t messages_handed_ = 0;
  uint64_t messages_left_ = 0;
  std::deque<uint64_t> unacked_ends_;  // where each handed message not known to have left ends
  int32_t send_status_ = 0;            // the failed send that halted the run
  Playback::Step last_step_;
  RunResult result_;
};

}  // namespace midiflash
