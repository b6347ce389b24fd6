// The sequencer: tempo, sequence reset, the dispatch of one event and the playback tick.
// Runs on the workflow's thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "Clock.h"
#include "FileSource.h"
#include "MidiPort.h"
#include "PlayerState.h"
#include "SmfReader.h"
#include "TickTimer.h"
#include "UpdateView.h"

namespace midiflash {

class Sequencer {
 public:
  Sequencer(PlayerState& state, SmfReader& reader, MidiPort& midi, FileSource& files, Clock& clock,
            UpdateView& view, TickTimer& timer);

  // Fixes PlayTempo from SmfTempo + RelTempo (limited to 10..400) and the ticks per millisecond.
  void CalcClockStep();
  // Brings every track of a checked file back to its first event and sends at once the System
  // Exclusive and meta events standing at tick 0 at the head of each track. Afterwards
  // fileFailed() tells whether the file could no longer be read as checked.
  void ResetSequece();
  // Carries out the current event of track `trk` and reads its next one. Returns non-zero when
  // the track goes on with its next event read; 0 when it ended, was not playing, its next event
  // could not be read, or the file failed (fileFailed()).
  int8_t SmfPlayEvent(int32_t trk);
  // One playback tick: advances every track by the time since the previous tick, dispatches what
  // fell due, shows position and percentage, and ends the run when every track has ended, the
  // user cancelled or the file failed.
  void SmfPlayProc();
  // Stops the tick timer.
  void PlayStop();
  // Takes the stamp of the file whose bytes are now in SMF, so that dispatching reads the file
  // again only once it may have changed.
  void AdoptImage(const FileStamp& stamp);

  // Whether a tick has ended the run since the latest reset.
  bool runEnded() const { return run_ended_; }
  // Whether the file could not be read again, or no longer matched the checked image, since the
  // latest reset. Once set, nothing more is sent until the next reset.
  bool fileFailed() const { return file_failed_; }
  // Status of the latest failed send since the reset, 0 when every send succeeded.
  int32_t lastSendError() const { return last_send_error_; }
  // Number of messages handed to the MIDI output since the reset, and how many of them failed.
  uint64_t messagesSent() const { return messages_sent_; }
  uint64_t sendFailures() const { return send_failures_; }

 private:
  bool RefreshImage();
  void ShowSendStatus(int32_t status);
  void EndRun(bool all_ended);

  PlayerState& s_;
  SmfReader& r_;
  MidiPort& midi_;
  FileSource& files_;
  Clock& clock_;
  UpdateView& view_;
  TickTimer& timer_;

  FileStamp image_stamp_;
  bool have_stamp_ = false;
  bool file_failed_ = false;
  bool run_ended_ = false;  // a tick has ended the run; later queued ticks only repeat the end
  bool ended_all_ = false;  // whether every track had ended when it did
  int32_t last_send_error_ = 0;
  uint64_t messages_sent_ = 0;
  uint64_t send_failures_ = 0;
  std::vector<uint8_t> sysex_buf_;
};

}  // namespace midiflash
