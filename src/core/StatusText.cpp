#include "StatusText.h"

#include <cstdio>

#include "Constants.h"

namespace midiflash {
namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[160];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

}  // namespace

std::string FileNameText(const std::string& name) {
  return "<< " + name + " >>";
}

std::string SelectFileText() {
  return Cmessage().SELECT_FILE;
}

std::string NoticeText(Notice notice) {
  const Cmessage texts;
  switch (notice) {
    case Notice::kClickUpdate:
      return texts.CLICK_UPDATE;
    case Notice::kOpenFileError:
      return kOpenFileError;
    case Notice::kCantPlay:
      return kCantPlay;
    case Notice::kStart:
      return kStartText;
    case Notice::kCompleted:
      return texts.COMPLETED;
    case Notice::kCanceled:
      return texts.CANCELED;
  }
  return {};
}

std::string PositionText(const Position& p) {
  return Format(kPositionFormat, p.minutes, p.seconds, p.nTotalClock, p.tTotalClock);
}

std::string SendErrorText(int32_t status) {
  return Format(kSendErrorFormat, status);
}

std::string DrainingText(uint64_t pendingBytes) {
  return Format(kDrainingFormat, static_cast<unsigned long long>(pendingBytes));
}

std::string WarningText(uint64_t deliveryWarnings) {
  if (deliveryWarnings == 0) return {};
  return Format(kWarningFormat, static_cast<unsigned long long>(deliveryWarnings));
}

std::string GoneDestinationText(const std::string& name) {
  return name + " (gone)";
}

}  // namespace midiflash
