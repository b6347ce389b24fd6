// Every text the workflow shows, formatted in this one place for both front ends.
#pragma once

#include <cstdint>
#include <string>

#include "UpdateView.h"

namespace midiflash {

// "<< name >>".
std::string FileNameText(const std::string& name);
// The guidance to choose a file.
std::string SelectFileText();
std::string NoticeText(Notice notice);
// "[ %4dm %02ds] [ %08u / %08u ticks]".
std::string PositionText(const Position& position);
// "Send error ! %d".
std::string SendErrorText(int32_t status);
// The status line while the last bytes drain to the device.
std::string DrainingText(uint64_t pendingBytes);
// The list item of a chosen destination that went away: "name (gone)".
std::string GoneDestinationText(const std::string& name);
// What a completed run with hidden losses adds; empty for 0.
std::string WarningText(uint64_t deliveryWarnings);

}  // namespace midiflash
