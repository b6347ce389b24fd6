#include "UpdateWorkflow.h"

#include <algorithm>
#include <cerrno>

#include "Log.h"
#include "StatusText.h"

namespace midiflash {
namespace {

std::string LastPathComponent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const MidiDestination* Find(const std::vector<MidiDestination>& list, const std::string& id) {
  const auto it = std::find_if(list.begin(), list.end(), [&](const auto& d) { return d.id == id; });
  return it == list.end() ? nullptr : &*it;
}

}  // namespace

Controls ControlsFor(Phase phase) {
  switch (phase) {
    case Phase::kReady:
      return {true, true, false, true};
    case Phase::kUpdating:
    case Phase::kDraining:
    case Phase::kVerifying:
      return {false, false, true, false};
    case Phase::kIdentifying:
      return {false, false, false, false};
    default:
      return {true, false, false, true};
  }
}

UpdateWorkflow::UpdateWorkflow(MidiOutput& midi, UpdateView& view, FileSource& files, Clock& clock,
                               TickTimer& timer)
    : midi_(midi), view_(view), files_(files), clock_(clock), timer_(timer) {}

Controls UpdateWorkflow::controls() const {
  Controls c = ControlsFor(phase_);
  c.identify = !busy() && chosen_ && !chosen_gone_;
  c.report = !busy() && ran_;
  return c;
}

void UpdateWorkflow::SetPhase(Phase phase) {
  phase_ = phase;
  view_.ShowControls(controls());
}

void UpdateWorkflow::Load(const std::string& preferred, Fallback fallback) {
  fallback_ = fallback;
  view_.ShowSelectFile();
  SetPhase(Phase::kNoFile);
  view_.ShowProgress(0);
  destinations_ = midi_.ListDestinations();
  const MidiDestination* pick = Find(destinations_, preferred);
  if (pick == nullptr && fallback == Fallback::kFirstDevice) {
    const auto it = std::find_if(destinations_.begin(), destinations_.end(),
                                 [](const MidiDestination& d) { return !d.passThrough; });
    if (it != destinations_.end()) pick = &*it;
  }
  if (pick != nullptr) return Choose(MidiDestination(*pick));
  ShowDestinations();
}

void UpdateWorkflow::ChooseFile(const std::string& path) {
  if (busy()) return;
  UseFile(LoadFile(files_, path));
}

void UpdateWorkflow::UseFile(LoadedFile loaded) {
  if (busy()) return;
  file_ = std::move(loaded);
  playback_.reset();
  opened_for_.clear();
  view_.ShowFileName(LastPathComponent(file_.path));
  if (!file_.checked) {
    file_state_ = FileState::kUnreadable;
    SetPhase(Phase::kUnreadable);
    view_.ShowNotice(Notice::kOpenFileError);
    view_.ShowDetail(ReadFailureReason(file_.read));
  } else if (!file_.checked->playable()) {
    file_state_ = FileState::kRefused;
    SetPhase(Phase::kRefused);
    view_.ShowNotice(Notice::kCantPlay);
    view_.ShowDetail(ExplainRefusal(*file_.checked));
  } else {
    file_state_ = FileState::kAccepted;
    Offer();
  }
  view_.ShowProgress(0);
}

void UpdateWorkflow::Hold(Notice notice, const std::string& detail) {
  SetPhase(Phase::kNotOpened);
  view_.ShowNotice(notice);
  view_.ShowDetail(detail);
}

void UpdateWorkflow::NotOpened(int32_t status) {
  SetPhase(Phase::kNotOpened);
  view_.ShowSendError(status);
  view_.ShowDetail(SendErrorAdvice(status));
}

void UpdateWorkflow::Offer() {
  playback_.reset();
  opened_for_.clear();
  before_ = IdentityCheck{};
  if (!chosen_) return Hold(Notice::kChooseDestination, "");
  if (chosen_gone_) return Hold(Notice::kDestinationGone, DestinationGoneAdvice(chosen_->name));
  const CheckedFile& file = *file_.checked;
  // Refused before the first byte leaves: a message the destination cannot carry would stop the
  // run there, with everything before it already in the device.
  const uint64_t limit = midi_.LargestMessage(chosen_->id);
  if (file.largest.bytes > limit) {
    SetPhase(Phase::kRefused);
    view_.ShowNotice(Notice::kCantPlay);
    view_.ShowDetail(TooLargeText(file.largest, limit, chosen_->name));
    return;
  }
  if (!FileUnchanged()) {
    file_state_ = FileState::kUnreadable;
    SetPhase(Phase::kUnreadable);
    view_.ShowNotice(Notice::kOpenFileError);
    view_.ShowDetail("The file changed after it was checked. Choose it again.");
    return;
  }
  // A delivery failure left from before (a run that failed, a device that stopped) must not stand
  // for these messages: opening the destination again clears it, or finds the device gone.
  if (midi_.DeliveryError() != 0) {
    if (const int32_t status = midi_.OpenDestination(chosen_->id)) {
      LogLine("MIDIPortConnect err = %d", status);
      return NotOpened(status);
    }
  }
  // The device is asked before the first opening message: those messages may put it into a mode
  // in which it no longer says what it runs now.
  if (verify_) return BeginAsking(IdentityCheck::Stage::kBefore);
  SendOpening();
}

void UpdateWorkflow::SendOpening() {
  playback_ = MakePlayback(file_.checked);
  bytes_handed_ = 0;
  messages_handed_ = 0;
  unacked_ends_.clear();
  send_status_ = 0;
  uint64_t sent = 0;
  int32_t status = playback_->SendOpening([&](const uint8_t* data, size_t size) {
    const int32_t s = Send(data, size);
    sent += s == 0;
    return s;
  });
  // A backend that queues may already know that a message did not arrive.
  if (status == 0) status = midi_.DeliveryError();
  if (status != 0) return NotOpened(status);
  opened_for_ = chosen_->id;
  SetPhase(Phase::kReady);
  view_.ShowNotice(Notice::kClickUpdate);
  view_.ShowDetail(sent > 0 ? OpeningSentText(sent, chosen_->name) : "");
}

int32_t UpdateWorkflow::Send(const uint8_t* data, size_t size) {
  const int32_t status = midi_.Send(data, size);
  if (status != 0) {
    LogLine("MIDISend err = %d", status);
    send_status_ = status;
  } else {
    bytes_handed_ += size;
    ++messages_handed_;
    unacked_ends_.push_back(bytes_handed_);
  }
  return status;
}

void UpdateWorkflow::Left(uint64_t bytes) {
  bytes_left_ = std::max(bytes_left_, bytes);
  while (!unacked_ends_.empty() && unacked_ends_.front() <= bytes_left_) {
    unacked_ends_.pop_front();
    ++messages_left_;
  }
}

bool UpdateWorkflow::FileUnchanged() {
  // Reading the whole file for every tick would cost more than the run itself on large files; the
  // stamp tells when the bytes may have changed and need comparing.
  FileStamp now;
  if (!files_.Stat(file_.path, now)) return false;
  if (now == file_.stamp) return true;
  std::vector<uint8_t> fresh;
  FileStamp stamp;
  if (files_.ReadWhole(file_.path, fresh, stamp).status != ReadStatus::kOk) return false;
  // Other bytes, even of the same size, never passed the check.
  if (fresh != file_.checked->image) return false;
  file_.stamp = stamp;
  return true;
}

void UpdateWorkflow::ChooseDestination(const std::string& id) {
  if (busy()) return;
  if (const MidiDestination* d = Find(destinations_, id)) return Choose(MidiDestination(*d));
  // The gone item, or nothing the list holds: the choice stays as it was.
  ShowDestinations();
}

void UpdateWorkflow::Choose(const MidiDestination& d) {
  const bool again = chosen_ && !chosen_gone_ && chosen_->id == d.id;
  chosen_ = d;
  chosen_gone_ = false;
  const int32_t status = midi_.OpenDestination(d.id);
  if (status != 0) LogLine("MIDIPortConnect err = %d", status);
  if (status == -ENOENT) {
    // It went away after the list was shown: say so rather than open whatever stands there now.
    destinations_ = midi_.ListDestinations();
    chosen_gone_ = true;
    ShowDestinations();
    if (file_state_ == FileState::kAccepted) {
      Hold(Notice::kDestinationGone, DestinationGoneAdvice(d.name));
    }
    return;
  }
  ShowDestinations();
  // The opening messages follow the destination; choosing the one that has them changes nothing.
  if (file_state_ != FileState::kAccepted) return;
  if (again && phase_ == Phase::kReady && opened_for_ == d.id) return;
  Offer();
}

void UpdateWorkflow::DestinationsChanged() {
  if (phase_ == Phase::kVerifying) return VerifyDestinationsChanged();
  if (busy()) {
    list_changed_ = true;
    return;
  }
  list_changed_ = false;
  destinations_ = midi_.ListDestinations();
  if (!chosen_) {
    // Nothing chosen yet (the list was empty, or held only pass-through ports).
    if (fallback_ == Fallback::kFirstDevice) {
      for (const MidiDestination& d : destinations_) {
        if (!d.passThrough) return Choose(MidiDestination(d));
      }
    }
    return ShowDestinations();
  }
  const MidiDestination* now = Find(destinations_, chosen_->id);
  if (now != nullptr && chosen_gone_) {
    // Back again: its connection went with it, so it is opened anew, and a file waiting for it
    // sends its opening messages again, since the device may have lost them.
    return Choose(MidiDestination(*now));
  }
  if (now == nullptr && !chosen_gone_) {
    chosen_gone_ = true;
    opened_for_.clear();
    if (file_state_ == FileState::kAccepted &&
        (phase_ == Phase::kReady || phase_ == Phase::kNotOpened)) {
      Hold(Notice::kDestinationGone, DestinationGoneAdvice(chosen_->name));
    }
  }
  if (now != nullptr) chosen_ = *now;  // a rename keeps the identity
  ShowDestinations();
}

void UpdateWorkflow::ShowDestinations() {
  std::vector<ListedDestination> items;
  int64_t selected = -1;
  for (const MidiDestination& d : destinations_) {
    if (chosen_ && !chosen_gone_ && d.id == chosen_->id) selected = int64_t(items.size());
    items.push_back({d, false});
  }
  if (chosen_ && chosen_gone_) {
    selected = int64_t(items.size());
    items.push_back({*chosen_, true});
  }
  view_.ShowDestinations(items, selected);
  // Identify follows the chosen destination.
  view_.ShowControls(controls());
}

void UpdateWorkflow::SetSysExGap(uint32_t ms) {
  if (!busy()) gap_ms_ = ms;
}

void UpdateWorkflow::SetVerify(bool on, uint32_t waitSeconds) {
  if (busy()) return;
  verify_ = on;
  verify_wait_ = waitSeconds;
}

void UpdateWorkflow::SetReplySource(const MidiDestination& source) {
  if (source.id.empty()) {
    reply_source_.reset();
  } else {
    reply_source_ = source;
  }
}

void UpdateWorkflow::Start() {
  if (phase_ != Phase::kReady) return;
  if (const int32_t failed = midi_.DeliveryError()) return NotOpened(failed);
  warnings_at_start_ = midi_.DeliveryWarnings();
  ran_ = true;
  run_file_ = file_;
  run_destination_ = *chosen_;
  listed_at_start_.clear();
  for (const MidiDestination& d : destinations_) listed_at_start_.push_back(d.id);
  started_utc_ = clock_.UtcNow();
  messages_left_ = 0;
  bytes_left_ = 0;
  last_step_ = Playback::Step{};
  last_step_.position = playback_->Start();
  SetPhase(Phase::kUpdating);
  view_.ShowNotice(Notice::kStart);
  view_.ShowDetail("");
  started_at_ = clock_.Now();
  timer_.StartTimer();
}

void UpdateWorkflow::Cancel() {
  if (phase_ == Phase::kVerifying) {
    LogLine("verify: cancelled");
    return EndAsking();
  }
  if (!running()) return;
  // The message leaving now finishes; nothing after it goes out, so a cancel takes effect at once
  // even when a slow device still has seconds of queued bytes to take.
  const uint64_t pending = midi_.PendingBytes();
  Left(bytes_handed_ - std::min(pending, bytes_handed_));
  midi_.DropPending();
  // The run ends here, not at a later tick: once the timer stops, no tick may be queued to end it.
  // Tracks that had all ended with nothing left to drain were delivered whole all the same.
  if (playback_->AllEnded() && pending == 0 && !midi_.LossReportDue() &&
      midi_.DeliveryError() == 0) {
    return EndRun(RunOutcome::kCompleted);
  }
  EndRun(RunOutcome::kCanceled);
}

int32_t UpdateWorkflow::DeliveryFailure() const {
  return send_status_ != 0 ? send_status_ : midi_.DeliveryError();
}

void UpdateWorkflow::Tick() {
  switch (phase_) {
    case Phase::kUpdating:
      return PlayTick();
    case Phase::kDraining:
      return DrainTick();
    case Phase::kIdentifying:
    case Phase::kVerifying:
      return AskTick();
    default:
      // Ticks queued before the timer stopped: the end is shown already.
      return;
  }
}

void UpdateWorkflow::PlayTick() {
  // A failure the output learnt of since the previous tick: nothing more may go out.
  if (const int32_t failed = midi_.DeliveryError()) {
    return EndRun(RunOutcome::kSendFailed, failed);
  }
  // Before this tick's first send, what goes out must still be the file that was checked. A tick
  // that sends nothing has nothing to check: most ticks of a run are such, and a look at the file
  // 344 times a second would cost more than the run.
  bool looked = false, changed = false;
  const Playback::Now now{clock_.Now() - started_at_, midi_.PendingBytes(), gap_ms_ / 1000.0};
  last_step_ = playback_->Advance(now, [&](const uint8_t* d, size_t n) {
    if (!looked) {
      looked = true;
      changed = !FileUnchanged();
    }
    return changed ? -ESTALE : Send(d, n);
  });
  view_.ShowPosition(last_step_.position);
  view_.ShowProgress(last_step_.percent);
  if (changed) return EndRun(RunOutcome::kFileFailed);
  if (const int32_t failed = DeliveryFailure()) return EndRun(RunOutcome::kSendFailed, failed);
  const uint64_t pending = midi_.PendingBytes();
  // What has left by now stays a fact whatever fails later.
  Left(bytes_handed_ - std::min(pending, bytes_handed_));
  if (!last_step_.allEnded) return;
  // Handed over is not delivered: the run completes once the device has taken every byte and no
  // report of a loss among them can still come.
  if (pending != 0 || midi_.LossReportDue()) {
    SetPhase(Phase::kDraining);
    if (pending != 0) view_.ShowDraining(pending);
    return;
  }
  EndRun(RunOutcome::kCompleted);
}

void UpdateWorkflow::DrainTick() {
  if (const int32_t failed = midi_.DeliveryError()) {
    return EndRun(RunOutcome::kSendFailed, failed);
  }
  const uint64_t pending = midi_.PendingBytes();
  if (pending == 0 && !midi_.LossReportDue()) return EndRun(RunOutcome::kCompleted);
  if (pending != 0) view_.ShowDraining(pending);
}

void UpdateWorkflow::EndRun(RunOutcome outcome, int32_t status) {
  timer_.StopTimer();
  result_ = RunResult{};
  result_.outcome = outcome;
  result_.sendError = status;
  result_.position = last_step_.position;
  result_.percent = last_step_.percent;
  result_.bytesTotal = file_.checked->wireBytes;
  if (outcome == RunOutcome::kCompleted) Left(bytes_handed_);
  result_.bytesSent = bytes_left_;
  result_.bytesHanded = bytes_handed_;
  result_.messagesHanded = messages_handed_;
  result_.messagesLeft = messages_left_;
  result_.startedUtc = started_utc_;
  result_.endedUtc = clock_.UtcNow();
  result_.before = before_;
  if (outcome == RunOutcome::kCompleted) {
    result_.deliveryWarnings = midi_.DeliveryWarnings() - warnings_at_start_;
    result_.unverified = !midi_.SeesEveryLoss();
  }
  view_.ShowSelectFile();
  const std::string stopped = StoppedAtText(LastPathComponent(file_.path), result_);
  switch (outcome) {
    case RunOutcome::kCompleted:
      view_.ShowNotice(Notice::kCompleted);
      result_.detail = result_.unverified && result_.deliveryWarnings == 0
                           ? UnverifiedText()
                           : WarningText(result_.deliveryWarnings);
      break;
    case RunOutcome::kCanceled:
      view_.ShowNotice(Notice::kCanceled);
      result_.detail = stopped;
      break;
    case RunOutcome::kSendFailed:
      view_.ShowSendError(status);
      result_.detail = SendErrorAdvice(status) + "\n" + stopped;
      break;
    case RunOutcome::kFileFailed:
      view_.ShowNotice(Notice::kOpenFileError);
      result_.detail = "The file changed or went away during the update.\n" + stopped;
      break;
  }
  view_.ShowDetail(result_.detail);
  view_.ShowProgress(0);
  file_state_ = FileState::kPlayed;
  opened_for_.clear();
  // A device that did not take the whole update has nothing new to say about itself.
  if (verify_ && outcome == RunOutcome::kCompleted) {
    BeginAsking(IdentityCheck::Stage::kAfter);
    if (list_changed_) VerifyDestinationsChanged();
    return;
  }
  FinishRun();
}

void UpdateWorkflow::FinishRun() {
  SetPhase(Phase::kEnded);
  if (list_changed_) DestinationsChanged();
  view_.RunEnded(result_);
}

std::optional<MidiDestination> UpdateWorkflow::ReplySourceFor(const MidiDestination& d) {
  const std::vector<MidiDestination> sources = midi_.ListSources();
  if (!reply_source_) return FindReplySource(d, sources);
  // The user's choice, or after a restart the port that came back under its name.
  for (const std::string MidiDestination::*key : {&MidiDestination::id, &MidiDestination::name}) {
    for (const MidiDestination& s : sources) {
      if (s.*key == (*reply_source_).*key) return s;
    }
  }
  return std::nullopt;
}

void UpdateWorkflow::Identify() {
  if (busy() || !chosen_ || chosen_gone_) return;
  // As for opening messages: a failure left from before must not stand for the request.
  if (midi_.DeliveryError() != 0) {
    if (const int32_t status = midi_.OpenDestination(chosen_->id)) {
      LogLine("MIDIPortConnect err = %d", status);
    }
  }
  resume_phase_ = phase_;
  BeginAsking(IdentityCheck::Stage::kIdentify);
}

void UpdateWorkflow::BeginAsking(IdentityCheck::Stage stage) {
  const bool after = stage == IdentityCheck::Stage::kAfter;
  check_ = IdentityCheck{};
  check_.stage = stage;
  check_.asked = true;
  check_.destination = *chosen_;
  check_.wait = after ? verify_wait_ : kIdentityTimeoutSeconds;
  asking_since_ = clock_.Now();
  // After an update a device may still be storing it, or restarting; it is first asked once it
  // has had a moment, then as often as a single answer is waited for.
  const double first = after ? kIdentityTimeoutSeconds : 0.0;
  asking_.Begin(asking_since_, first, after ? kIdentityTimeoutSeconds : 0.0, check_.wait,
                after && before_.reply ? before_.reply : std::nullopt);
  asked_id_ = chosen_->id;
  candidate_turn_ = 0;
  SetPhase(after ? Phase::kVerifying : Phase::kIdentifying);
  view_.ShowIdentity(check_, false);
  // Nothing goes to a device that cannot be heard: its answer would be lost. After a run the
  // device is listened to anew before each request, wherever it then stands.
  if (!ListenTo(*chosen_) && !after) return EndAsking();
  timer_.StartTimer();
  if (!after) AskTick();
}

bool UpdateWorkflow::ListenTo(const MidiDestination& d) {
  check_.source = ReplySourceFor(d);
  if (!check_.source) {
    LogLine("identify: no source pairs with %s", d.id.c_str());
    return false;
  }
  if (const int32_t status = midi_.OpenSource(check_.source->id)) {
    LogLine("MIDIInputConnect err = %d", status);
    check_.source.reset();
    return false;
  }
  asking_.NewSource();
  return true;
}

void UpdateWorkflow::SendRequest() {
  const int32_t status = midi_.Send(kIdentityRequest.data(), kIdentityRequest.size());
  if (status != 0) {
    LogLine("MIDISend err = %d", status);
    if (check_.sendError == 0) check_.sendError = status;
    return;
  }
  ++check_.requests;
  LogLine("identify: request %u to %s, listening to %s", check_.requests,
          check_.destination.id.c_str(), check_.source ? check_.source->id.c_str() : "none");
}

void UpdateWorkflow::AskCandidate() {
  // The device itself while it is listed (under its name: a new client may have taken its number);
  // else one of its name, or any that appeared since the run started, since a restarted device
  // may come back as a new client or port. Its answer
  // tells whether it is the device: Identification takes only the same kind and device id. The
  // list is read anew: a front end need not report changes for this to find the device.
  destinations_ = midi_.ListDestinations();
  chosen_gone_ = Find(destinations_, chosen_->id) == nullptr;
  std::vector<const MidiDestination*> candidates;
  const auto add = [&](const MidiDestination& d) {
    for (const MidiDestination* c : candidates) {
      if (c->id == d.id) return;
    }
    candidates.push_back(&d);
  };
  for (const MidiDestination& d : destinations_) {
    if (d.id == chosen_->id && d.name == chosen_->name) add(d);
  }
  for (const MidiDestination& d : destinations_) {
    if (d.name == chosen_->name) add(d);
  }
  for (const MidiDestination& d : destinations_) {
    const bool listed =
        std::find(listed_at_start_.begin(), listed_at_start_.end(), d.id) != listed_at_start_.end();
    if (!listed && !d.passThrough) add(d);
  }
  if (candidates.empty()) return;  // gone: asked once it is back
  const MidiDestination& d = *candidates[candidate_turn_++ % candidates.size()];
  // A device that restarted under the same identity (a kernel gives a new client the lowest free
  // number) left the output failed: it is opened anew as well.
  if (d.id != asked_id_ || midi_.DeliveryError() != 0) {
    if (const int32_t status = midi_.OpenDestination(d.id)) {
      LogLine("MIDIPortConnect err = %d", status);
      return;
    }
    asked_id_ = d.id;
  }
  check_.destination = d;
  if (ListenTo(d)) SendRequest();
}

void UpdateWorkflow::AskTick() {
  const double now = clock_.Now();
  if (asking_.RequestDue(now)) {
    phase_ == Phase::kVerifying ? AskCandidate() : SendRequest();
  }
  if (asking_.Expired(now)) EndAsking();
}

void UpdateWorkflow::Received(const uint8_t* data, size_t size) {
  if (asking_.Feed(data, size)) EndAsking();
}

void UpdateWorkflow::VerifyDestinationsChanged() {
  list_changed_ = false;
  const std::vector<MidiDestination> before = std::move(destinations_);
  destinations_ = midi_.ListDestinations();
  chosen_gone_ = Find(destinations_, chosen_->id) == nullptr;
  ShowDestinations();
  // A device that restarted is asked as soon as it is back, not at the next turn.
  for (const MidiDestination& d : destinations_) {
    if (Find(before, d.id) == nullptr && !d.passThrough) asking_.AskNow();
  }
}

void UpdateWorkflow::EndAsking() {
  asking_.End();
  timer_.StopTimer();
  midi_.OpenSource("");
  check_.reply = asking_.reply();
  check_.waited = clock_.Now() - asking_since_;
  if (check_.reply) {
    LogLine("identify: %s answered: %s", check_.destination.id.c_str(),
            IdentityText(*check_.reply).c_str());
  } else {
    LogLine("identify: no answer from %s after %u request(s)", check_.destination.id.c_str(),
            check_.requests);
  }
  view_.ShowIdentity(check_, true);
  switch (check_.stage) {
    case IdentityCheck::Stage::kIdentify:
      identified_ = check_;
      SetPhase(resume_phase_);
      if (list_changed_) DestinationsChanged();
      return;
    case IdentityCheck::Stage::kBefore:
      before_ = check_;
      SendOpening();
      if (list_changed_) DestinationsChanged();
      return;
    case IdentityCheck::Stage::kAfter:
      result_.after = check_;
      if (check_.reply && check_.destination.id != chosen_->id) {
        // The device came back under another identity: that is where it now stands.
        chosen_ = check_.destination;
        chosen_gone_ = false;
      } else if (asked_id_ != chosen_->id) {
        // Back to the chosen one, or (gone) to none: a later file must not go to a candidate.
        if (const int32_t status = midi_.OpenDestination(chosen_->id)) {
          LogLine("MIDIPortConnect err = %d", status);
        }
      }
      ShowDestinations();
      return FinishRun();
  }
}

}  // namespace midiflash
