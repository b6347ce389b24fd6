// What the workflow shows. The workflow decides every state and value and hands them over as
// typed calls; a front end renders each call, with the words of StatusText.h, and never has to
// recover a state from a text. All calls come on the workflow's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Identity.h"
#include "MidiOutput.h"
#include "Playback.h"

namespace midiflash {

// Where the workflow stands. Every control state follows from it (ControlsFor).
enum class Phase {
  kNoFile,       // loaded, no file chosen yet
  kReady,        // a file was read, accepted, and its opening messages reached the destination
  kUnreadable,   // the chosen file could not be opened or read, or changed after its check
  kRefused,      // the file check refused the file, or one of its messages is larger than the
                 // chosen destination carries
  kNotOpened,    // accepted, but its opening messages have not reached a destination: none is
                 // chosen, the chosen one went away, or a send failed
  kUpdating,     // a run is playing
  kDraining,     // every track has ended; the last bytes are still on their way to the device
  kEnded,        // a tick or Cancel ended the run (RunResult says how)
  kIdentifying,  // the chosen device is asked who it is: after Identify, or before the opening
                 // messages of a file when updates are verified (at most 2 s)
  kVerifying,    // a verified run completed; the device is asked until it answers again
};

// Which controls accept the user's actions.
struct Controls {
  bool fileSel;
  bool update;
  bool cancel;
  bool midiOutDevice;     // the destination list, and whether updates are verified
  bool identify = false;  // a destination is chosen and present, and nothing else goes on
  bool report = false;    // a run has ended whose receipt can be saved
  bool operator==(const Controls&) const = default;
};
// The controls of a phase, identify and report left out (UpdateWorkflow::controls() adds them).
Controls ControlsFor(Phase phase);

// The fixed texts of the status line (NoticeText).
enum class Notice {
  kClickUpdate,
  kOpenFileError,
  kCantPlay,
  kStart,
  kCompleted,
  kCanceled,
  kChooseDestination,  // a file waits for a destination to be chosen
  kDestinationGone,    // the chosen destination went away while nothing was being sent
};

enum class RunOutcome {
  kCompleted,   // every track ended and every byte left the computer for the device
  kCanceled,    // the user cancelled
  kSendFailed,  // a message could not be delivered; nothing was sent after it
  kFileFailed,  // the file could not be read again, or changed, during the run
};

struct RunResult {
  RunOutcome outcome = RunOutcome::kCompleted;
  int32_t sendError = 0;  // kSendFailed: the status of the failure
  // kCompleted: how many times during the run the MIDI service may have lost messages without
  // telling the sender; above 0 the delivery may be incomplete.
  uint64_t deliveryWarnings = 0;
  // kCompleted: the MIDI service could have lost messages with no sign at all (SeesEveryLoss).
  bool unverified = false;
  Position position;  // where the run stopped
  int percent = 0;
  // Bytes known to have left the computer (a lower bound when the run failed), of all the bytes
  // the file sends, its opening messages included.
  uint64_t bytesSent = 0;
  uint64_t bytesTotal = 0;
  // What the sends accepted: bytes and messages handed to the MIDI service. Of those messages,
  // the ones known to have left the computer whole.
  uint64_t bytesHanded = 0;
  uint64_t messagesHanded = 0;
  uint64_t messagesLeft = 0;
  // When the run started and ended, in seconds since 1970 (UTC).
  double startedUtc = 0.0;
  double endedUtc = 0.0;
  // The line under the status line once the run ended.
  std::string detail;
  // With verify: who the device said it was before the opening messages and after the run.
  IdentityCheck before;
  IdentityCheck after;
};

// One item of the destination list; a chosen destination that went away stays listed, marked.
struct ListedDestination {
  MidiDestination destination;
  bool gone = false;
  bool operator==(const ListedDestination&) const = default;
};

class UpdateView {
 public:
  virtual ~UpdateView() = default;

  // The file-name field: "<< name >>" for a chosen file, or the guidance to choose one.
  virtual void ShowFileName(const std::string& name) = 0;
  virtual void ShowSelectFile() = 0;
  // The status line.
  virtual void ShowNotice(Notice notice) = 0;
  virtual void ShowPosition(const Position& position) = 0;
  virtual void ShowSendError(int32_t status) = 0;
  virtual void ShowDraining(uint64_t pendingBytes) = 0;
  // The line under it: why the status line says what it says, what to do about it, or how far a
  // run got. Empty when there is nothing to add.
  virtual void ShowDetail(const std::string& text) = 0;
  // The progress bar, 0..100.
  virtual void ShowProgress(int percent) = 0;
  virtual void ShowControls(const Controls& controls) = 0;
  // The destination list (midiOutDevice) and the selected item, -1 for none.
  virtual void ShowDestinations(const std::vector<ListedDestination>& items, int64_t selected) = 0;

  // What the device said of itself: `done` false while it is being asked, true with the answer or
  // without one once the asking ended.
  virtual void ShowIdentity(const IdentityCheck& check, bool done) = 0;

  // Called once per run, last, when a tick or Cancel has ended it (after the texts and controls),
  // and with verify once the device has been asked after it.
  virtual void RunEnded(const RunResult& result) = 0;
};

}  // namespace midiflash
