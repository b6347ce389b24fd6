#include "PlayCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
#include "Sandbox.h"
#include "StatusText.h"
#include "UpdateWorkflow.h"
#include "Version.h"

namespace midiflash {
namespace {

const char* OutcomeWord(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted:
      return "completed";
    case RunOutcome::kCanceled:
      return "cancelled";
    case RunOutcome::kSendFailed:
      return "stopped by a failed send";
    case RunOutcome::kFileFailed:
      return "stopped by a change of the file";
  }
  return "";
}

// The file --receipt names. It is created before the write restriction (after which nothing new
// could be), and only written to at the end, so that a path that turns out to name the update
// file itself has lost nothing.
class ReceiptFile {
 public:
  ~ReceiptFile() {
    if (fd_ >= 0) close(fd_);
  }
  bool open() const { return fd_ >= 0; }
  bool Open(const std::string& path, std::string& error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
      error = "cannot create the receipt " + Printable(path) + ": " + std::strerror(errno);
    return fd_ >= 0;
  }
  // Whether `stamp` is this very file.
  bool Is(const FileStamp& stamp) const {
    struct stat st {};
    return fd_ >= 0 && fstat(fd_, &st) == 0 && uint64_t(st.st_dev) == stamp.dev &&
           uint64_t(st.st_ino) == stamp.ino;
  }
  // Replaces what a regular file holds with `text` and waits until it is stored; to anything else
  // (a terminal, a pipe) writes it. Returns false, saying why on `err`, on failure.
  bool Write(const std::string& text, std::ostream& err) {
    struct stat st {};
    const bool regular = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    size_t done = 0;
    bool ok = !regular || ftruncate(fd_, 0) == 0;
    while (ok && done < text.size()) {
      const ssize_t n = regular ? pwrite(fd_, text.data() + done, text.size() - done, off_t(done))
                                : write(fd_, text.data() + done, text.size() - done);
      ok = n > 0 || (n < 0 && errno == EINTR);
      if (n > 0) done += size_t(n);
    }
    ok = ok && (!regular || fsync(fd_) == 0);
    if (!ok) {
      err << "midiflash-cli: the receipt " << Printable(path_)
          << " could not be written: " << std::strerror(errno) << "\n";
    }
    return ok;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace

bool GapOption(const ParsedArgs& parsed, const CheckedFile* file, uint32_t& gapMs,
               std::string& error) {
  gapMs = kDefaultSysExGapMs;
  if (!NumberOption(parsed, "--gap", kMaxSysExGapMs, gapMs, error)) return false;
  if (file == nullptr || !parsed.Has("--gap") || file->kind == FileKind::kSysEx) return true;
  // Taken quietly, it would let the user believe that the file's messages keep that distance.
  error =
      "--gap applies to System Exclusive files only; this is a Standard MIDI File, whose "
      "messages leave at their ticks";
  return false;
}

int RunPlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a;
  std::string error;
  uint32_t gap_ms, wait_s = kDefaultVerifyWaitSeconds;
  if (!ParseArgs(args,
                 {{"--port", 'p', true},
                  {"--gap", 0, true},
                  {"--verify", 0, false},
                  {"--verify-wait", 0, true},
                  {"--reply-port", 0, true},
                  {"--receipt", 0, true}},
                 a, error) ||
      !GapOption(a, nullptr, gap_ms, error) ||
      !NumberOption(a, "--verify-wait", kMaxVerifyWaitSeconds, wait_s, error)) {
    return UsageError("play", error, err);
  }
  for (const char* option : {"--verify-wait", "--reply-port"}) {
    if (a.Has(option) && !a.Has("--verify")) {
      return UsageError("play", std::string(option) + " applies with --verify only", err);
    }
  }
  if (a.operands.size() != 1) return UsageError("play", "one FILE is needed", err);
  const std::string path = a.operands[0];

  ReceiptFile receipt_file;
  if (a.Has("--receipt") && !receipt_file.Open(a.Value("--receipt"), error)) {
    err << "midiflash-cli play: " << error << "\n";
    return kPlayUnusable;
  }
  // From here on nothing new can be written: the receipt is the one file the command writes.
  RestrictWrites();
  Receipt receipt;
  receipt.program = std::string("midiflash-cli ") + kVersion;
  // Every end from here on leaves its receipt: `outcome` is the first line the user was told.
  const auto finish = [&](int status, const std::string& outcome, const std::string& detail) {
    if (!receipt_file.open()) return status;
    receipt.exitStatus = status;
    if (!receipt.ran) receipt.outcome = outcome, receipt.detail = detail;
    receipt_file.Write(ReceiptJson(receipt), err);
    return status;
  };

  // Handlers first: a Ctrl-C at any moment from here on cancels with the cancel text.
  MainQueue queue;
  CliSignals signals(queue);
  // The file first: nothing is opened for a file that cannot be played.
  PosixFileSource files;
  LoadedFile loaded = LoadFile(files, path);
  DescribeFile(receipt, loaded);
  if (receipt_file.Is(loaded.stamp)) {
    // Written, the receipt would replace the update file it describes.
    return UsageError("play", "--receipt names the update file " + Printable(path), err);
  }
  if (!loaded.checked) {
    const std::string reason = ReadFailureReason(loaded.read);
    err << "Open file error ! " << Printable(path) << ": " << reason << "\n";
    return finish(kPlayUnusable, NoticeText(Notice::kOpenFileError), reason);
  }
  if (!loaded.checked->playable()) {
    const std::string reason = ExplainRefusal(*loaded.checked);
    err << "Cant play this SMF ! " << Printable(path) << ": " << reason << "\n";
    return finish(kPlayRefused, NoticeText(Notice::kCantPlay), reason);
  }
  if (!GapOption(a, loaded.checked.get(), gap_ms, error)) {
    return finish(UsageError("play", error, err), error, "");
  }
  const bool by_message = loaded.checked->kind == FileKind::kSysEx;
  const std::unique_ptr<MidiOutput> midi = OpenMidiOutput();
  if (std::strcmp(midi->ServiceName(), "none") == 0) {
    err << kNoMidiService << "\n";
    return finish(kPlayUnusable, kNoMidiService, "");
  }
  const std::vector<MidiDestination> list = midi->ListDestinations();
  const int64_t index = ChooseDestination(list, a, error);
  if (index < 0) {
    err << "midiflash-cli: " << error << "\n";
    return finish(kPlayUnusable, error, "");
  }
  const MidiDestination& target = list[static_cast<size_t>(index)];
  receipt.destination = target;

  CliView view(out, &out == &std::cout && isatty(STDOUT_FILENO));
  CliSession session(*midi, view, files, queue);
  UpdateWorkflow& workflow = session.workflow();
  // The receipt describes what the workflow did, once it has done something.
  const auto end = [&](int status) {
    const Receipt run = DescribeRun(workflow, receipt.program);
    receipt.result = run.result;
    if ((receipt.ran = run.ran)) receipt.outcome = run.outcome, receipt.detail = run.detail;
    return finish(status, view.lastStatus(), view.lastDetail());
  };
  const auto interrupted = [&] {
    view.PrintLine(NoticeText(Notice::kCanceled));
    LogLine("play: cancelled by signal %d", CliSignals::Received());
    return finish(kPlayInterrupted + CliSignals::Received(), NoticeText(Notice::kCanceled), "");
  };

  workflow.Load(target.id, UpdateWorkflow::Fallback::kNone);
  if (!workflow.chosen() || workflow.chosenGone()) {
    error = "the MIDI destination '" + Printable(target.name) + "' went away";
    err << "midiflash-cli: " << error << "\n";
    return finish(kPlayUnusable, error, "");
  }
  if (a.Has("--verify")) {
    // Said before anything is sent: without a port to hear it, the device cannot be verified.
    if (const std::string why = session.UseReplyPort(a, target); !why.empty()) {
      error = "cannot verify: " + why;
      err << "midiflash-cli: " << error << "\n";
      return finish(kPlayUnusable, error, "");
    }
    workflow.SetVerify(true, wait_s);
  }
  view.PrintLine("Destination: " + Printable(target.name));
  if (by_message) {
    view.PrintLine("Gap between messages: " + std::to_string(gap_ms) + " ms");
    LogLine("play: %s (%llu bytes, %zu messages, gap %u ms) to %s", path.c_str(),
            static_cast<unsigned long long>(loaded.checked->wireBytes),
            loaded.checked->messages.size(), gap_ms, target.id.c_str());
  } else {
    LogLine("play: %s (%llu bytes, %u ticks) to %s", path.c_str(),
            static_cast<unsigned long long>(loaded.checked->wireBytes), loaded.checked->totalTicks,
            target.id.c_str());
  }
  workflow.SetSysExGap(gap_ms);
  workflow.UseFile(std::move(loaded));
  // With --verify the device is asked first; its answer, or 2 s, lets the opening messages go.
  if (!session.WaitWhileIdentifying()) return interrupted();
  switch (workflow.phase()) {
    case Phase::kReady:
      break;
    case Phase::kRefused:
      return end(kPlayRefused);
    case Phase::kNotOpened:
      return end(kPlaySendFailed);
    default:
      return end(kPlayUnusable);
  }
  // The file's opening messages have gone out; the update itself has not started.
  if (CliSignals::Received() != 0) return interrupted();

  workflow.Start();
  if (workflow.phase() == Phase::kNotOpened) return end(kPlaySendFailed);
  const auto ended = [&workflow] { return workflow.phase() == Phase::kEnded; };
  while (!ended() && CliSignals::Received() == 0) {
    queue.RunUntil(ended, std::chrono::milliseconds(100));
    view.Flush();
  }
  int status;
  if (!ended()) {
    const int signo = CliSignals::Received();
    workflow.Cancel();
    // A signal that came once every byte had gone out does not undo the completion the run has
    // printed: the status follows the outcome shown.
    status = workflow.result().outcome == RunOutcome::kCanceled ? kPlayInterrupted + signo
                                                                : PlayExitStatus(workflow.result());
  } else {
    status = PlayExitStatus(workflow.result());
  }
  LogLine("play: %s, %llu of %llu bytes sent, exit %d", OutcomeWord(workflow.result().outcome),
          static_cast<unsigned long long>(workflow.result().bytesSent),
          static_cast<unsigned long long>(workflow.result().bytesTotal), status);
  return end(status);
}

}  // namespace midiflash
