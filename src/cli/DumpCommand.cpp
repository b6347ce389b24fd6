#include "DumpCommand.h"

#include <cstdio>

#include "CheckCommand.h"
#include "CliCheckedFile.h"
#include "CliHelp.h"
#include "EventWalk.h"

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

void AppendData(std::string& line, const std::vector<uint8_t>& image, const SmfEvent& e) {
  for (uint32_t i = 0; i < e.dataLength; ++i) AppendHex(line, image[e.dataOffset + i]);
}

// Text meta events are easier to recognise by their text than by its hex.
void AppendText(std::string& line, const std::vector<uint8_t>& image, const SmfEvent& e) {
  line += " \"";
  for (uint32_t i = 0; i < e.dataLength; ++i) {
    const uint8_t c = image[e.dataOffset + i];
    line += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  }
  line += '"';
}

std::string EventLine(int32_t track, const SmfEvent& e, const std::vector<uint8_t>& image) {
  char head[48];
  std::string kind;
  std::string bytes;
  switch (e.kind) {
    case EventKind::kChannel:
      kind = ChannelKind(e.status);
      AppendHex(bytes, e.status);
      AppendHex(bytes, e.data1);
      if (e.WireBytes() == 3) AppendHex(bytes, e.data2);
      if (e.runningStatus) bytes += "  (running status)";
      break;
    case EventKind::kSysEx:
    case EventKind::kEscape:
      kind = e.kind == EventKind::kSysEx ? "sysex" : "escape";
      // Sent with F0 in front, an escape event as well.
      AppendHex(bytes, 0xF0);
      AppendData(bytes, image, e);
      break;
    case EventKind::kMeta:
      kind = MetaKind(e.data1);
      std::snprintf(head, sizeof head, "type %02X, %u bytes:", e.data1, e.dataLength);
      bytes = head;
      AppendData(bytes, image, e);
      if (e.data1 >= 0x01 && e.data1 <= 0x0F) AppendText(bytes, image, e);
      bytes += "  (not sent)";
      break;
  }
  std::snprintf(head, sizeof head, "%2d %10u  %-24s ", track, e.tick, kind.c_str());
  return head + bytes + "\n";
}

}  // namespace
}  // namespace midiflash

int RunDumpCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  using namespace midiflash;
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-') return UnknownOption("dump", a, err);
  }
  if (args.size() != 1) {
    err << "usage: midiflash-cli dump FILE\n";
    return kCheckExitUnusable;
  }
  const std::string& path = args[0];
  CheckedFile file;
  const LoadOutcome loaded = LoadCheckedFile(path, file);
  if (loaded != LoadOutcome::kChecked) {
    err << OpenErrorText(path, loaded) << "\n";
    return kCheckExitUnusable;
  }
  if (file.result != kCheckPlayable) {
    out << "result: " << file.result << " (refused: " << ExplainCheckResult(file) << ")\n";
    return kCheckExitRefused;
  }
  const std::vector<uint8_t>& image = file.state.SMF;
  EventWalk walk(file.state);
  const int32_t walked =
      walk.Walk([&](int32_t track, const SmfEvent& e) { out << EventLine(track, e, image); });
  if (walked != kCheckPlayable) {
    // The check read the same bytes with the same reader, so this means the two disagree.
    err << "dump: track " << walk.failure().track << " could not be read again at byte offset "
        << walk.failure().offset << "\n";
    return kCheckExitRefused;
  }
  return kCheckExitPlayable;
}
