#include "DumpCommand.h"

#include <cstdio>

#include "CheckCommand.h"
#include "CheckedFile.h"
#include "CliArgs.h"
#include "CliHelp.h"
#include "CliText.h"
#include "PosixFileSource.h"
#include "TrackReader.h"

namespace midiflash {
namespace {

const char* ChannelKind(uint8_t status) {
  static const char* const kNames[] = {"note-off",       "note-on",        "key-pressure",
                                       "control-change", "program-change", "channel-pressure",
                                       "pitch-bend"};
  return kNames[(status >> 4) - 8];
}

std::string MetaKind(uint8_t type) {
  switch (type) {
    case 0x00:
      return "meta sequence-number";
    case 0x01:
      return "meta text";
    case 0x02:
      return "meta copyright";
    case 0x03:
      return "meta track-name";
    case 0x04:
      return "meta instrument-name";
    case 0x05:
      return "meta lyric";
    case 0x06:
      return "meta marker";
    case 0x07:
      return "meta cue-point";
    case 0x08:
      return "meta program-name";
    case 0x09:
      return "meta device-name";
    case 0x20:
      return "meta channel-prefix";
    case 0x21:
      return "meta port";
    case 0x2F:
      return "meta end-of-track";
    case 0x51:
      return "meta set-tempo";
    case 0x54:
      return "meta smpte-offset";
    case 0x58:
      return "meta time-signature";
    case 0x59:
      return "meta key-signature";
    case 0x7F:
      return "meta sequencer-specific";
    default:
      return "meta unknown";
  }
}

void AppendHex(std::string& line, uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (!line.empty() && line.back() != ' ') line += ' ';
  line += kDigits[byte >> 4];
  line += kDigits[byte & 0x0F];
}

// Text meta events are easier to recognise by their text than by its hex.
void AppendText(std::string& line, const uint8_t* image, const TrackEvent& e) {
  line += " \"";
  for (uint32_t i = 0; i < e.dataLength; ++i) {
    const uint8_t c = image[e.dataOffset + i];
    line += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  }
  line += '"';
}

std::string EventLine(size_t track, const TrackEvent& e, const uint8_t* image) {
  char head[80];
  std::string kind;
  std::string bytes;
  std::vector<uint8_t> wire;
  AppendWireMessage(image, e, wire);
  for (uint8_t b : wire) AppendHex(bytes, b);
  switch (e.kind) {
    case EventKind::kChannel:
      kind = ChannelKind(e.status);
      if (e.runningStatus) bytes += "  (running status)";
      break;
    case EventKind::kSysEx:
    case EventKind::kEscape:
      kind = e.kind == EventKind::kSysEx ? "sysex" : "escape";
      break;
    case EventKind::kMeta:
      kind = MetaKind(e.data1);
      std::snprintf(head, sizeof head, "type %02X, %u bytes:", e.data1, e.dataLength);
      bytes = head;
      for (uint32_t i = 0; i < e.dataLength; ++i) AppendHex(bytes, image[e.dataOffset + i]);
      if (e.data1 >= 0x01 && e.data1 <= 0x0F) AppendText(bytes, image, e);
      bytes += "  (not sent)";
      break;
  }
  std::snprintf(head, sizeof head, "%2zu %10u  %-24s ", track, e.tick, kind.c_str());
  return head + bytes + "\n";
}

}  // namespace

int RunDumpCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a;
  std::string error;
  if (!ParseArgs(args, {}, a, error)) return UsageError("dump", error, err);
  if (a.operands.size() != 1) return UsageError("dump", "one FILE is needed", err);
  const std::string& path = a.operands[0];
  PosixFileSource files;
  const LoadedFile loaded = LoadFile(files, path);
  if (!loaded.checked) {
    err << "Open file error ! " << Printable(path) << ": " << ReadFailureReason(loaded.read)
        << "\n";
    return kCheckExitUnusable;
  }
  const CheckedFile& file = *loaded.checked;
  if (!file.playable()) {
    out << "result: " << file.result << " (refused: " << ExplainRefusal(file) << ")\n";
    return kCheckExitRefused;
  }
  const uint8_t* image = file.image.data();
  if (file.kind == FileKind::kSysEx) {
    // The message's number from 1, the byte offset of its F0, its bytes.
    for (size_t i = 0; i < file.messages.size(); ++i) {
      const MessageSpan& m = file.messages[i];
      char head[40];
      std::snprintf(head, sizeof head, "%6zu %10u  ", i + 1, m.offset);
      std::string line = head;
      for (uint32_t k = 0; k < m.length; ++k) AppendHex(line, image[m.offset + k]);
      out << line << "\n";
    }
    return kCheckExitPlayable;
  }
  // The check read every track to its End of Track with the same reader.
  const auto size = static_cast<uint32_t>(file.image.size());
  for (size_t i = 0; i < file.tracks.size(); ++i) {
    TrackCursor cursor{file.tracks[i].firstEvent, 0, 0};
    TrackEvent e;
    ReadRefusal why;
    ReadStep step;
    do {
      step = ReadTrackEvent(image, size, cursor, e, why);
      if (step != ReadStep::kRefused) out << EventLine(i, e, image);
    } while (step == ReadStep::kEvent);
  }
  return kCheckExitPlayable;
}

}  // namespace midiflash
