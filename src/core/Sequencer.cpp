#include "Sequencer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace midiflash {

Sequencer::Sequencer(PlayerState& state, SmfReader& reader, MidiPort& midi, FileSource& files,
                     Clock& clock)
    : s_(state), r_(reader), midi_(midi), files_(files), clock_(clock) {}

void Sequencer::CalcClockStep() {
  int16_t tempo =
      static_cast<int16_t>(static_cast<uint16_t>(s_.SmfTempo) + static_cast<uint16_t>(s_.RelTempo));
  if (tempo > 400) tempo = 400;
  if (tempo <= 9) tempo = 10;
  s_.PlayTempo = tempo;
  s_.RelTempo =
      static_cast<int16_t>(static_cast<uint16_t>(tempo) - static_cast<uint16_t>(s_.SmfTempo));
}

void Sequencer::AdoptImage(const FileStamp& stamp) {
  image_stamp_ = stamp;
  have_stamp_ = true;
}

void Sequencer::ResetSequece() {
  s_.nTotalClock = 0;
  s_.SmfTempo = 120;
  CalcClockStep();

  file_failed_ = false;
  send_error_ = 0;

  const uint32_t sysex = static_cast<uint32_t>(s_.cmidi.SYSEX);
  for (int32_t i = 0; i < std::min<int32_t>(s_.SmfTracks, PlayerState::kTrackTableSize); ++i) {
    SmfTrack& t = s_.sTrk[i];
    t.TrkPtr = t.TrkTop;
    t.TotalClock = 0;
    t.WaitClock = 0;
    t.RunSts = 0;
    t.Sts = 0;
    t.PlaySts = s_.PlayFlag();
    // The image is the one the check accepted; a refusal here means it is not any more.
    if (r_.ReadEvent(i) == 0) file_failed_ = true;
    // The opening run: System Exclusive and meta events at tick 0 at the head of the track.
    while (!file_failed_ && t.Sts >= sysex && t.WaitClock <= 0) {
      if (SmfPlayEvent(i) == 0) break;
    }
    if (halted()) return;
  }
}

bool Sequencer::RefreshImage() {
  // Reading the whole file for every event costs more than the run itself on large files; the
  // stamp tells when the bytes may have changed and a fresh copy is needed.
  FileStamp now;
  if (!files_.Stat(s_.fileUrl, now)) return false;
  if (have_stamp_ && now == image_stamp_) return true;
  std::vector<uint8_t> fresh;
  FileStamp stamp;
  if (files_.ReadWhole(s_.fileUrl, fresh, stamp) != ReadStatus::kOk) return false;
  // Every cursor is an offset into the accepted image and every event was read from it: other
  // bytes, even of the same size, would be read from the middle of events that never passed the
  // check. The image in hand is the accepted one, or a copy equal to it.
  if (fresh.size() != s_.SmfSize || fresh != s_.SMF) return false;
  s_.SMF.swap(fresh);
  AdoptImage(stamp);
  return true;
}

void Sequencer::CountSend(int32_t status) {
  if (status != 0 && send_error_ == 0) send_error_ = status;
}

int8_t Sequencer::SmfPlayEvent(int32_t trk) {
  if (halted()) return 0;
  if (!RefreshImage()) {
    file_failed_ = true;
    return 0;
  }
  SmfTrack& t = s_.sTrk[trk];
  const std::vector<uint8_t>& image = s_.SMF;
  const uint32_t sts = t.Sts;
  const uint32_t sysex = static_cast<uint32_t>(s_.cmidi.SYSEX);
  // The reader has placed the data inside the image; this keeps a record in any other state from
  // reading past it.
  const bool data_fits = t.DataLen <= image.size() - std::min<uint64_t>(t.TrkPtr, image.size());

  if (sts == static_cast<uint32_t>(s_.csmf.META_STS)) {
    if (t.Data1 == static_cast<uint32_t>(s_.csmf.META_EOT)) {
      t.PlaySts = 0;
      return 0;
    }
    if (!data_fits) {
      file_failed_ = true;
      return 0;
    }
    t.TrkPtr += t.DataLen;
  } else if (sts == sysex || sts == static_cast<uint32_t>(s_.cmidi.EOX)) {
    if (!data_fits) {
      file_failed_ = true;
      return 0;
    }
    // Escape events go out with 0xF0 in front as well.
    sysex_buf_.resize(size_t{t.DataLen} + 1);
    sysex_buf_[0] = static_cast<uint8_t>(sysex);
    std::copy_n(image.begin() + t.TrkPtr, t.DataLen, sysex_buf_.begin() + 1);
    t.TrkPtr += t.DataLen;
    CountSend(midi_.SendLongMessage(sysex_buf_.data(), sysex_buf_.size()));
  } else if (sts >= static_cast<uint32_t>(s_.cmidi.NOTE_OFF) && sts < sysex) {
    CountSend(midi_.SendShortMessage(static_cast<uint8_t>(sts), static_cast<uint8_t>(t.Data1),
                                     static_cast<uint8_t>(t.Data2)));
  } else {
    // The reader hands over nothing else: a record in another state was not read from this file.
    file_failed_ = true;
    return 0;
  }

  if (!s_.IsPlaying(t)) return 0;
  // The reader refuses whatever the check refused; meeting it now means the image is not the
  // file that passed the check.
  if (r_.ReadEvent(trk) == 0) {
    file_failed_ = true;
    return 0;
  }
  return 1;
}

bool Sequencer::AllEnded() const {
  for (int32_t i = 0; i < std::min<int32_t>(s_.SmfTracks, PlayerState::kTrackTableSize); ++i) {
    if (s_.IsPlaying(s_.sTrk[i])) return false;
  }
  return true;
}

Sequencer::Tick Sequencer::SmfPlayProc() {
  s_.curInterval = clock_.Now() - s_.date;
  const double interval = s_.curInterval - s_.lastInterval;
  const int32_t us_per_quarter = 60000000 / s_.PlayTempo;
  const double exact = s_.SmfDivision * interval / (us_per_quarter / 1000000.0);
  const double clamped = std::clamp(exact, static_cast<double>(std::numeric_limits<int32_t>::min()),
                                    static_cast<double>(std::numeric_limits<int32_t>::max()));
  const int32_t ticks = static_cast<int32_t>(clamped);
  // A tick shorter than one MIDI tick would otherwise lose all of its time, and a file with a
  // small division would never move: time builds up until it makes a whole tick.
  if (ticks != 0) s_.lastInterval = s_.curInterval;

  bool all_ended = true;
  for (int32_t i = 0; i < std::min<int32_t>(s_.SmfTracks, PlayerState::kTrackTableSize); ++i) {
    if (halted()) break;
    SmfTrack& t = s_.sTrk[i];
    if (!s_.IsPlaying(t)) continue;
    const int32_t before = t.WaitClock;
    t.WaitClock =
        static_cast<int32_t>(static_cast<uint32_t>(t.WaitClock) - static_cast<uint32_t>(ticks));
    if (before <= ticks) {
      while (SmfPlayEvent(i) != 0 && t.WaitClock <= 0) {
      }
    }
    if (s_.IsPlaying(t)) all_ended = false;
  }

  uint32_t position = s_.nTotalClock + static_cast<uint32_t>(ticks);
  if (position > s_.tTotalClock) position = s_.tTotalClock;
  s_.nTotalClock = position;

  Tick tick{};
  tick.allEnded = all_ended;
  const int32_t seconds = static_cast<int32_t>(
      std::clamp(s_.curInterval, 0.0, static_cast<double>(std::numeric_limits<int32_t>::max())));
  tick.position = {seconds / 60, seconds % 60, s_.nTotalClock, s_.tTotalClock};
  // A file of length 0 stands at its end from the start.
  tick.percent =
      s_.tTotalClock == 0 ? 100 : static_cast<int>(uint64_t{s_.nTotalClock} * 100 / s_.tTotalClock);
  return tick;
}

}  // namespace midiflash
