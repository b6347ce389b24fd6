// Who a device says it is: the MIDI standard's Identity Request, the Identity Reply read back from
// the device's byte stream, the manufacturer's name, the port a device answers from, and the asking
// itself (requests, a deadline, the reply that counts), paced by the workflow's clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MidiOutput.h"

namespace midiflash {

// Universal Non-Real-Time Identity Request to every device ("all call", device 7F).
inline constexpr std::array<uint8_t, 6> kIdentityRequest = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
// How long one request is waited for, and how often a device is asked again after an update.
inline constexpr double kIdentityTimeoutSeconds = 2.0;
// How long a verified update waits for the device to answer again unless told otherwise.
inline constexpr uint32_t kDefaultVerifyWaitSeconds = 60;
inline constexpr uint32_t kMaxVerifyWaitSeconds = 3600;

// What an Identity Reply holds: F0 7E <device> 06 02 <manufacturer: 1 byte, or 00 and 2 more>
// <family: 2 bytes> <model: 2 bytes> <software revision: 4 bytes> F7.
struct DeviceIdentity {
  uint8_t deviceId = 0;
  std::vector<uint8_t> manufacturer;  // 1 byte, or 3 beginning with 00
  uint16_t family = 0;                // 14 bits, sent least significant 7 bits first
  uint16_t model = 0;
  std::array<uint8_t, 4> revision{};  // as sent; its meaning is the manufacturer's
  bool operator==(const DeviceIdentity&) const = default;
  // The same device id, manufacturer, family and model: the same kind of device, whatever
  // software it runs.
  bool SameDevice(const DeviceIdentity& other) const;
};

// The manufacturer's name for the common ids ("Roland"); empty for any other id.
std::string ManufacturerName(const std::vector<uint8_t>& id);
// The id's bytes in hexadecimal, "41" or "00 20 6B".
std::string ManufacturerId(const std::vector<uint8_t>& id);

// Reads Identity Replies out of a device's byte stream as it arrives, in pieces of any size.
// Realtime bytes (F8..FF) may stand anywhere, even inside a message, and are skipped; any other
// status byte ends the message it interrupts. A System Exclusive message that is not an Identity
// Reply, or one cut short, is ignored; bytes a device adds after the revision are tolerated. At
// most kMaxMessage bytes of one message are kept, so a long dump costs no memory.
class IdentityReplyParser {
 public:
  static constexpr size_t kMaxMessage = 64;
  // Feeds bytes; returns the replies completed by them, in order.
  std::vector<DeviceIdentity> Feed(const uint8_t* data, size_t size);
  // Forgets a message begun earlier.
  void Reset() { in_message_ = false, body_.clear(); }

 private:
  std::optional<DeviceIdentity> Complete() const;
  bool in_message_ = false;
  bool overflow_ = false;
  std::vector<uint8_t> body_;  // the bytes after F0 of the message being read
};

// The port a device answers from, for the destination `d`: among `sources` (as listed, ids as
// MidiOutput gives them), the one with the same id (a port that is both); else the one whose
// name differs only in the words of direction (playback/capture, input/output, in/out) within
// the same client; else the client's only source. The client is the id's part before its first
// ':' (ALSA's client number, JACK's client name). Returns nothing when no source fits.
std::optional<MidiDestination> FindReplySource(const MidiDestination& d,
                                               const std::vector<MidiDestination>& sources);

// What asking a device brought.
struct IdentityCheck {
  // Why it was asked: the Identify command, before a verified update's opening messages, or
  // after its run.
  enum class Stage { kIdentify, kBefore, kAfter };
  Stage stage = Stage::kIdentify;
  bool asked = false;
  double wait = 0.0;                      // how long an answer was waited for at most, in s
  MidiDestination destination;            // asked last (after a restart, the port it came back as)
  std::optional<MidiDestination> source;  // listened to; none when no port of the device fits
  uint32_t requests = 0;                  // Identity Requests handed to the MIDI service
  int32_t sendError = 0;                  // the status of the first request that was not
  double waited = 0.0;                    // seconds from the start of the asking to its end
  std::optional<DeviceIdentity> reply;    // none: no answer
};

// One round of asking, on the workflow's clock: requests at `firstAfter` seconds from the start
// and then every `interval` (0: one request only) until `wait` seconds have passed; the first
// reply from the device `expected` (SameDevice), or from any device without it, ends it.
class Identification {
 public:
  void Begin(double now, double firstAfter, double interval, double wait,
             std::optional<DeviceIdentity> expected);
  bool active() const { return active_; }
  // Whether a request is due at `now`; each due request is told once.
  bool RequestDue(double now);
  // The next request is due at once (the device came back).
  void AskNow() { next_ = 0.0; }
  // Bytes from the device. Returns true once they complete the reply that counts (reply()).
  bool Feed(const uint8_t* data, size_t size);
  bool Expired(double now) const { return active_ && now >= deadline_; }
  // Ends the round; what was heard stays readable.
  void End() { active_ = false; }
  const std::optional<DeviceIdentity>& reply() const { return reply_; }
  // Forgets a message begun on the port listened to before.
  void NewSource() { parser_.Reset(); }

 private:
  IdentityReplyParser parser_;
  std::optional<DeviceIdentity> expected_, reply_;
  double next_ = 0.0, interval_ = 0.0, deadline_ = 0.0;
  bool active_ = false;
};

}  // namespace midiflash
