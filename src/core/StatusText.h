// Every text the workflow shows, formatted in this one place for both front ends. The texts of the
// window's fields and status line are kept word for word, as users and their support know them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "CheckedFile.h"
#include "Identity.h"
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

// What a device said of itself: "Roland (41), family 0x0019, model 0x0000, software revision
// 1.0.2.0, device ID 0x10"; a manufacturer without a name in the table by its number.
std::string IdentityText(const DeviceIdentity& identity);
// The four bytes of a software revision in decimal, "1.0.2.0".
std::string RevisionText(const std::array<uint8_t, 4>& revision);
// "Roland (41)", or "manufacturer 00 21 7F" for an id without a name.
std::string ManufacturerText(const std::vector<uint8_t>& id);
// A device asked who it is: while it is asked, then what it answered, "no answer within 2 s", or
// that no port of it could be listened to.
std::string IdentityCheckText(const IdentityCheck& check, bool done);
// "Software revision: 1.0.0.0 → 1.0.1.0", with "(unchanged)", "unknown" before or "no answer"
// after, as the checks say.
std::string RevisionChangeText(const IdentityCheck& before, const IdentityCheck& after);
// How a run ended, as the status line said it: the notice, or "Send error ! %d".
std::string OutcomeText(const RunResult& result);
// A run's receipt saved, or not saved (with the system's reason, and where the program may write).
std::string ReportSavedText(const std::string& path);
std::string ReportNotSavedText(const std::string& path, int error, const std::string& folder);

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
