// A run's receipt: what exactly was sent, from which file, to which device, when, and how it
// ended, as one JSON object that support and scripts can read. Also the exit status that a run
// ends the command line with, which the window's receipts record as well.
#pragma once

#include <optional>
#include <string>

#include "Identity.h"
#include "UpdateView.h"

namespace midiflash {

class UpdateWorkflow;
struct LoadedFile;

// Exit statuses of `play` (and of a run as a receipt records it).
enum PlayExit : int {
  kPlayCompleted = 0,
  kPlayRefused = 1,           // "Cant play this SMF !"
  kPlayUnusable = 2,          // usage error, unreadable file, no MIDI service or destination
  kPlaySendFailed = 3,        // "Send error ! N": a message could not be delivered; the run stopped
  kPlayFileChanged = 4,       // the file went away or changed during the run
  kPlayDeliveryWarnings = 5,  // completed, but the MIDI service may have lost messages unseen
  kPlayUnverified = 6,        // completed, but the device did not answer after it (verify)
  kPlayInterrupted = 128,     // plus the signal number: 130 for SIGINT, 143 for SIGTERM
};

// The status for a run that a tick ended; a cancelled run counts as ended by SIGINT. A verified
// run whose device did not answer afterwards is 6, before 5.
int PlayExitStatus(const RunResult& result);

struct Receipt {
  std::string program;  // "midiflash-cli 0.1.0"
  std::string filePath;
  bool fileRead = false;  // the file's bytes were read (size and digest describe them)
  uint64_t fileSize = 0;
  std::string fileSha256;  // of the bytes read and checked, which are the bytes sent
  std::string fileKind;    // "smf", "sysex"; empty when not read
  std::optional<MidiDestination> destination;
  bool ran = false;     // a run started; `result` describes it
  RunResult result;     // its identities also when no run started
  std::string outcome;  // the status line's text at the end
  std::string detail;   // the line under it
  int exitStatus = 0;
};

// The file as loaded (path, size, digest, kind).
void DescribeFile(Receipt& receipt, const LoadedFile& file);
// The workflow's latest file, destination, run (once one has started: `ran`), identities, outcome
// and the exit status it comes to.
Receipt DescribeRun(const UpdateWorkflow& workflow, const std::string& program);

// The receipt as a JSON object, a member a line; times in UTC, ISO 8601 to the millisecond.
std::string ReceiptJson(const Receipt& receipt);
// An identity check as a JSON object on one line (`identify --json`); "null" when not asked.
std::string IdentityJson(const IdentityCheck& check);
// "2026-12-07T10:15:03.123Z".
std::string Iso8601Utc(double secondsSince1970);
// A name to save the receipt of a run as: the file's name without its extension and the end of
// the run, "demo-20261207T101503Z.json".
std::string ReceiptFileName(const Receipt& receipt);

}  // namespace midiflash
