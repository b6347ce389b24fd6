// The fixed values the reader, the sequencer and the workflow compare against, and the texts
// that guide the user. One instance of each set lives in PlayerState; code reads the values from
// there rather than writing the numbers in place.
#pragma once

#include <cstdint>
#include <string>

namespace midiflash {

// MIDI channel-message and system status bytes.
struct Cmidi {
  int32_t NOTE_OFF = 0x80;  // also the lowest status byte
  int32_t NOTE_ON = 0x90;
  int32_t KEY_PRESS = 0xA0;
  int32_t CONTROL = 0xB0;
  int32_t PROGRAM = 0xC0;  // first of the two-byte channel messages
  int32_t CH_PRESS = 0xD0;
  int32_t BENDER = 0xE0;  // first status above the two-byte channel messages
  int32_t SYSEX = 0xF0;   // also the first non-channel status
  int32_t EOX = 0xF7;     // in a file: the escape event
};

// The play flag. Stored in or compared with 32-bit fields after sign widening, so a playing
// track's PlaySts holds 0xFFFFFF80.
struct Cseq {
  int8_t PLAY = static_cast<int8_t>(0x80);
};

// The two masks of a variable-length number.
struct Cvnum {
  int8_t C_BIT = static_cast<int8_t>(0x80);  // another byte follows
  int8_t V_NUM = 0x7F;                       // the seven value bits
};

// Standard MIDI File meta-event values.
struct Csmf {
  int32_t META_STS = 0xFF;
  int32_t META_TEMPO = 0x51;
  int32_t META_BPM = 0x58;  // time signature
  int32_t META_EOT = 0x2F;
};

// Texts that guide the user.
struct Cmessage {
  std::string SELECT_FILE = "To select file click [File Select] button.";
  std::string CONNECT_MIDI = "Please connect MIDI device";
  std::string CLICK_UPDATE = "To start updating click [Update] button !";
  std::string CANCELED = "Updating was canceled by user!!";
  std::string COMPLETED = "Updating is completed !!";
};

// Status-line texts that are not part of Cmessage.
inline constexpr const char* kOpenFileError = "Open file error !";
inline constexpr const char* kCantPlay = "Cant play this SMF !";
inline constexpr const char* kSendErrorFormat = "Send error ! %d";
inline constexpr const char* kStartText = "Start";
// The tick counts are unsigned so that lengths above 2^31 ticks do not print as negative.
inline constexpr const char* kPositionFormat = "[ %4dm %02ds] [ %08u / %08u ticks]";
// Every track has ended; the run waits until the device has taken the last bytes.
inline constexpr const char* kDrainingFormat = "Delivering the last %llu bytes to the device ...";
// A completed run during which the MIDI service may have lost messages unseen.
inline constexpr const char* kWarningFormat =
    "Warning: delivery may be incomplete: the MIDI service may have lost messages %llu time(s)";

// A signed 8-bit mask widened with its sign to 32 bits (PLAY gives 0xFFFFFF80).
inline uint32_t Widen(int8_t v) {
  return static_cast<uint32_t>(static_cast<int32_t>(v));
}

}  // namespace midiflash
