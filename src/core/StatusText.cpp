#include "StatusText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace midiflash {
namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

}  // namespace

std::string FileNameText(const std::string& name) {
  return "<< " + name + " >>";
}

std::string SelectFileText() {
  return "To select file click [File Select] button.";
}

std::string NoticeText(Notice notice) {
  switch (notice) {
    case Notice::kClickUpdate:
      return "To start updating click [Update] button !";
    case Notice::kOpenFileError:
      return "Open file error !";
    case Notice::kCantPlay:
      return "Cant play this SMF !";
    case Notice::kStart:
      return "Start";
    case Notice::kCompleted:
      return "Updating is completed !!";
    case Notice::kCanceled:
      return "Updating was canceled by user!!";
    case Notice::kChooseDestination:
      return "Choose the MIDI destination of the update.";
    case Notice::kDestinationGone:
      return "The MIDI destination went away.";
  }
  return {};
}

bool IsWindowGuidance(Notice notice) {
  return notice == Notice::kClickUpdate || notice == Notice::kChooseDestination;
}

std::string PositionText(const Position& p) {
  if (p.byMessage) {
    // Padded to the totals' widths, so that the text stands still from one tick to the next.
    const std::string messages = std::to_string(p.messages), bytes = GroupedNumber(p.totalBytes);
    return Format("[ %4dm %02ds] [ message %*u of %s, %*s of %s bytes]", p.minutes, p.seconds,
                  int(messages.size()), p.message, messages.c_str(), int(bytes.size()),
                  GroupedNumber(p.bytes).c_str(), bytes.c_str());
  }
  // The tick counts are unsigned so that lengths above 2^31 ticks do not print as negative.
  return Format("[ %4dm %02ds] [ %08u / %08u ticks]", p.minutes, p.seconds, p.tick, p.totalTicks);
}

std::string SendErrorText(int32_t status) {
  return Format("Send error ! %d", status);
}

std::string SendErrorAdvice(int32_t status) {
  switch (-status) {
    case ENOENT:
      return "The MIDI device went away. Reconnect it and choose it again.";
    case ENODEV:
      return "No MIDI destination is open, or the MIDI service cannot be reached. Choose a "
             "destination.";
    case ENOTCONN:
      return "Another program removed the connection to the MIDI device. Choose the device again.";
    case ETIMEDOUT:
      return "The MIDI device took nothing for 5 seconds. Check its cable and power, then choose "
             "it again.";
    case ESHUTDOWN:
      return "The MIDI service (the JACK server) stopped. Start it again, then choose the device.";
    case EMSGSIZE:
      return "A message is larger than the MIDI destination carries.";
    case EBUSY:
    case EPERM:
      return "Another program holds the MIDI device. Close it, then choose the device again.";
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
      return "The MIDI service had no room for the message. Choose the device again to retry.";
    default:
      return status < 0
                 ? Format("The MIDI service refused the message: %s.", std::strerror(-status))
                 : Format("The MIDI service refused the message (status %d).", status);
  }
}

std::string DrainingText(uint64_t pendingBytes) {
  return Format("Delivering the last %llu bytes to the device ...",
                static_cast<unsigned long long>(pendingBytes));
}

std::string GoneDestinationText(const std::string& name) {
  return name + " (gone)";
}

std::string WarningText(uint64_t deliveryWarnings) {
  if (deliveryWarnings == 0) return {};
  return Format(
      "Warning: delivery may be incomplete: the MIDI service may have lost messages %llu time(s)",
      static_cast<unsigned long long>(deliveryWarnings));
}

std::string UnverifiedText() {
  return "This MIDI service (PipeWire's JACK library) does not tell the sender of messages it "
         "loses: check that the device took the update.";
}

std::string RevisionText(const std::array<uint8_t, 4>& r) {
  return Format("%u.%u.%u.%u", r[0], r[1], r[2], r[3]);
}

std::string ManufacturerText(const std::vector<uint8_t>& id) {
  const std::string name = ManufacturerName(id);
  return name.empty() ? "manufacturer " + ManufacturerId(id)
                      : name + " (" + ManufacturerId(id) + ")";
}

std::string IdentityText(const DeviceIdentity& d) {
  return Format("%s, family 0x%04X, model 0x%04X, software revision %s, device ID 0x%02X",
                ManufacturerText(d.manufacturer).c_str(), d.family, d.model,
                RevisionText(d.revision).c_str(), d.deviceId);
}

std::string IdentityCheckText(const IdentityCheck& c, bool done) {
  const std::string& name = c.destination.name;
  if (!done) {
    return c.stage == IdentityCheck::Stage::kAfter
               ? Format("Waiting up to %.0f s for %s to answer again ...", c.wait, name.c_str())
               : "Asking " + name + " who it is ...";
  }
  if (c.reply) return name + ": " + IdentityText(*c.reply);
  // After an update the device may have been away, and its port with it, all along.
  if (!c.source && c.stage != IdentityCheck::Stage::kAfter) {
    return name + ": no port of this device to hear its answer from";
  }
  return Format("%s: no answer within %.0f s", name.c_str(), c.wait);
}

std::string RevisionChangeText(const IdentityCheck& before, const IdentityCheck& after) {
  const std::string from = before.reply ? RevisionText(before.reply->revision) : "unknown";
  if (!after.reply) return "Software revision: " + from + " \u2192 no answer: check the device";
  const std::string to = RevisionText(after.reply->revision);
  return "Software revision: " + from + " \u2192 " + to + (from == to ? " (unchanged)" : "");
}

std::string OutcomeText(const RunResult& r) {
  switch (r.outcome) {
    case RunOutcome::kCompleted:
      return NoticeText(Notice::kCompleted);
    case RunOutcome::kCanceled:
      return NoticeText(Notice::kCanceled);
    case RunOutcome::kSendFailed:
      return SendErrorText(r.sendError);
    case RunOutcome::kFileFailed:
      return NoticeText(Notice::kOpenFileError);
  }
  return {};
}

std::string ReportSavedText(const std::string& path) {
  return "Report saved: " + path;
}

std::string ReportNotSavedText(const std::string& path, int error, const std::string& folder) {
  // The window may write nowhere else once it has restricted itself (Landlock).
  return "The report could not be saved as " + path + ": " + std::strerror(error) +
         ". Reports can always be saved in " + folder + ".";
}

std::string DestinationGoneAdvice(const std::string& name) {
  return name + " went away. Reconnect it and choose it again.";
}

std::string OpeningSentText(uint64_t messages, const std::string& destination) {
  return Format("%llu opening message%s went to %s.", static_cast<unsigned long long>(messages),
                messages == 1 ? "" : "s", destination.c_str());
}

std::string TooLargeText(const WireMessageAt& largest, uint64_t limit,
                         const std::string& destination) {
  const std::string where =
      largest.track < 0 ? Format("message %u at byte offset %u", largest.message, largest.offset)
                        : Format("track %d, tick %u", largest.track, largest.tick);
  return Format("%s: %s, %s bytes; %s carries at most %s bytes",
                CheckReason(kCheckTooLargeForDestination), where.c_str(),
                GroupedNumber(largest.bytes).c_str(), destination.c_str(),
                GroupedNumber(limit).c_str());
}

std::string StoppedAtText(const std::string& fileName, const RunResult& r) {
  const Position& p = r.position;
  const std::string where = p.byMessage ? Format("message %u of %u", p.message, p.messages)
                                        : Format("tick %u of %u", p.tick, p.totalTicks);
  return Format("%s: stopped at %s, %d %%, %s of %s bytes sent", fileName.c_str(), where.c_str(),
                r.percent, GroupedNumber(r.bytesSent).c_str(), GroupedNumber(r.bytesTotal).c_str());
}

std::string GroupedNumber(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace midiflash
