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
#include "UpdateView.h"

namespace midiflash {

class Sequencer {
 public:
  Sequencer(PlayerState& state, SmfReader& reader, MidiPort& midi, FileSource& files, Clock& clock);

  // What one playback tick reached.
  struct Tick {
    bool allEnded;      // every track has reached its End of Track (unless halted())
    Position position;  // elapsed time and ticks played
    int percent;        // of the file's length in ticks
  };

  // Fixes PlayTempo from SmfTempo + RelTempo, limited to 10..400.
  void CalcClockStep();
  // Brings every track of a checked file back to its first event and sends at once the System
  // Exclusive and meta events standing at tick 0 at the head of each track. Afterwards
  // fileFailed() and sendError() tell whether that went wrong.
  void ResetSequece();
  // Carries out the current event of track `trk` and reads its next one. Returns non-zero when
  // the track goes on with its next event read; 0 when it ended, was not playing, its next event
  // could not be read, or the sequencer has halted (halted()).
  int8_t SmfPlayEvent(int32_t trk);
  // One playback tick: advances every track by the whole ticks of the time since the previous
  // one (from `date`, `lastInterval`) and dispatches what fell due. Stops at the first failure.
  Tick SmfPlayProc();
  // Whether every track has reached its End of Track.
  bool AllEnded() const;
  // Takes the stamp of the file whose bytes are now in SMF, so that dispatching reads the file
  // again only once it may have changed.
  void AdoptImage(const FileStamp& stamp);

  // Whether the file could not be read again, or no longer matched the checked image, since the
  // latest reset.
  bool fileFailed() const { return file_failed_; }
  // Status of the first send that failed since the reset, 0 while every send succeeded.
  int32_t sendError() const { return send_error_; }
  // After a failure nothing more is read or sent until the next reset: once a message is lost the
  // device is in a state the rest of the file was not written for.
  bool halted() const { return file_failed_ || send_error_ != 0; }

 private:
  bool RefreshImage();
  void CountSend(int32_t status);

  PlayerState& s_;
  SmfReader& r_;
  MidiPort& midi_;
  FileSource& files_;
  Clock& clock_;

  FileStamp image_stamp_;
  bool have_stamp_ = false;
  bool file_failed_ = false;
  int32_t send_error_ = 0;
  std::vector<uint8_t> sysex_buf_;
};

}  // namespace midiflash
