// Every text the workflow shows, formatted in this one place for both front ends. The texts of the
// window's fields and status line are kept word for word, as users and their support know them.
#pragma once

#include <cstdint>
#include <string>

#include "CheckedFile.h"
#include "UpdateView.h"

namespace midiflash {

// "<< name >>".
std::string FileNameText(const std::string& name);
// The guidance to choose a file.
std::string SelectFileText();
std::string NoticeText(Notice notice);
// Whether a notice only guides a user of the window (it has nothing to say on a command line).
bool IsWindowGuidance(Notice notice);
// "[ %4dm %02ds] [ %08u / %08u ticks]"; by message "[    0m 05s] [ message  3 of 10,  1,234 of
// 40,000 bytes]", the counts padded to the totals' widths.
std::string PositionText(const Position& position);
// "Send error ! %d".
std::string SendErrorText(int32_t status);
// What a send error means and what to do about it, in a sentence or two.
std::string SendErrorAdvice(int32_t status);
// The status line while the last bytes drain to the device.
std::string DrainingText(uint64_t pendingBytes);
// The list item of a chosen destination that went away: "name (gone)".
std::string GoneDestinationText(const std::string& name);
// What a completed run with hidden losses adds; empty for 0.
std::string WarningText(uint64_t deliveryWarnings);
// What a completed run adds when the MIDI service cannot tell the sender of every loss.
std::string UnverifiedText();

// The detail lines.
std::string DestinationGoneAdvice(const std::string& name);
std::string OpeningSentText(uint64_t messages, const std::string& destination);
// A message of the file that the destination cannot be sent whole.
std::string TooLargeText(const WireMessageAt& largest, uint64_t limit,
                         const std::string& destination);
// "demo.dat: stopped at tick N of M, P %, X of Y bytes sent" (at message N of M by message).
std::string StoppedAtText(const std::string& fileName, const RunResult& result);
// 1234567 as "1,234,567".
std::string GroupedNumber(uint64_t n);

}  // namespace midiflash
