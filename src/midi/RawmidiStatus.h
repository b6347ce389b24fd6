// What the kernel shows of a rawmidi output substream in /proc/asound/cardC/midiD: how many bytes
// its driver has taken and how much room its buffer has. Read-only; nothing here opens a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace midiflash {

struct RawmidiOutput {
  uint64_t tx_bytes = 0;   // bytes the driver has taken from the buffer so far
  int owner_pid = -1;      // process that opened the substream; -1 when it is closed
  size_t buffer_size = 0;  // 0 when closed
  size_t avail = 0;        // free bytes in the buffer
  size_t Held() const { return buffer_size > avail ? buffer_size - avail : 0; }
};

// Reads output substream `number` from the text of a midiD file. Returns false when the text has
// no such substream.
bool ParseRawmidiOutput(std::string_view text, int number, RawmidiOutput* out);

// One output substream of a card, found once and re-read on demand.
class RawmidiStatus {
 public:
  // Looks on card `card` (under `proc_root`, normally /proc/asound) for the output substream that
  // process `pid` holds open: the sequencer opens it in the name of the process that subscribes.
  // Otherwise takes the one that the kernel's MIDI port client serves as sequencer port `port`
  // (device port / 32, substream port % 32), when it is open. Returns false when neither is found;
  // the port then has no visible buffer.
  bool Find(const std::string& proc_root, int card, int port, int pid);
  // Re-reads the substream. Returns false when it is gone or closed.
  bool Read(RawmidiOutput* out) const;
  bool found() const { return !path_.empty(); }

 private:
  std::string path_;
  int number_ = -1;
};

}  // namespace midiflash
