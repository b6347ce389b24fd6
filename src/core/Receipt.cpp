#include "Receipt.h"

#include <signal.h>
#include <time.h>

#include <cmath>
#include <cstdio>

#include "CheckedFile.h"
#include "Json.h"
#include "Sha256.h"
#include "StatusText.h"
#include "UpdateWorkflow.h"

namespace midiflash {
namespace {

// As the identity's text shows them: "0x0119".
std::string Hex14(uint16_t n) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", n);
  return text;
}

JsonObject Port(const MidiDestination& d) {
  return JsonObject().Text("id", d.id).Text("name", d.name);
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s);
  return text;
}

}  // namespace

int PlayExitStatus(const RunResult& result) {
  switch (result.outcome) {
    case RunOutcome::kCompleted:
      if (result.after.asked && !result.after.reply) return kPlayUnverified;
      return result.deliveryWarnings > 0 ? kPlayDeliveryWarnings : kPlayCompleted;
    case RunOutcome::kSendFailed:
      return kPlaySendFailed;
    case RunOutcome::kFileFailed:
      return kPlayFileChanged;
    case RunOutcome::kCanceled:
      break;
  }
  return kPlayInterrupted + SIGINT;
}

std::string Iso8601Utc(double secondsSince1970) {
  double whole = std::floor(secondsSince1970);
  int millis = static_cast<int>(std::lround((secondsSince1970 - whole) * 1000));
  if (millis == 1000) whole += 1, millis = 0;
  const time_t t = static_cast<time_t>(whole);
  tm utc{};
  gmtime_r(&t, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return text;
}

std::string ReceiptFileName(const Receipt& r) {
  std::string name = r.filePath.substr(r.filePath.find_last_of('/') + 1);
  name = name.substr(0, name.find_last_of('.'));
  std::string when;
  for (const char c : Iso8601Utc(r.result.endedUtc).substr(0, 19)) {
    if (c != '-' && c != ':') when += c;
  }
  return (name.empty() ? "midiflash" : name) + "-" + when + "Z.json";
}

std::string IdentityJson(const IdentityCheck& c) {
  if (!c.asked) return "null";
  JsonObject o;
  o.Object("destination", Port(c.destination))
      .Raw("source", c.source ? Port(*c.source).Line() : "null")
      .Number("requests", c.requests)
      .Raw("waited_seconds", Seconds(c.waited))
      .Bool("answered", c.reply.has_value());
  if (c.reply) {
    const DeviceIdentity& d = *c.reply;
    o.Number("device_id", d.deviceId)
        .Object("manufacturer",
                JsonObject()
                    .Text("id", ManufacturerId(d.manufacturer))
                    .Raw("name", ManufacturerName(d.manufacturer).empty()
                                     ? "null"
                                     : JsonString(ManufacturerName(d.manufacturer))))
        .Text("family", Hex14(d.family))
        .Text("model", Hex14(d.model))
        .Text("software_revision", RevisionText(d.revision));
  }
  return o.Line();
}

void DescribeFile(Receipt& r, const LoadedFile& file) {
  r.filePath = file.path;
  r.fileRead = file.checked && !file.checked->image.empty();
  r.fileSize = r.fileRead ? file.checked->image.size() : file.stamp.size;
  if (!r.fileRead) return;
  const std::vector<uint8_t>& image = file.checked->image;
  r.fileSha256 = Sha256Hex(image.data(), image.size());
  r.fileKind = file.checked->kind == FileKind::kSysEx ? "sysex" : "smf";
}

Receipt DescribeRun(const UpdateWorkflow& wf, const std::string& program) {
  Receipt r;
  r.program = program;
  r.ran = wf.ran();
  DescribeFile(r, r.ran ? wf.runFile() : wf.file());
  if (r.ran) {
    r.destination = wf.runDestination();
    r.result = wf.result();
    r.outcome = OutcomeText(r.result);
    r.detail = r.result.detail;
    r.exitStatus = PlayExitStatus(r.result);
  } else {
    if (wf.chosen()) r.destination = *wf.chosen();
    r.result.before = wf.before();
  }
  return r;
}

std::string ReceiptJson(const Receipt& r) {
  const RunResult& x = r.result;
  const Position& p = x.position;
  const bool smf = r.fileKind == "smf";
  const auto number = [](bool known, uint64_t n) { return known ? std::to_string(n) : "null"; };
  JsonObject o;
  o.Text("program", r.program)
      .Object("file", JsonObject()
                          .Text("path", r.filePath)
                          .Text("name", r.filePath.substr(r.filePath.find_last_of('/') + 1))
                          .Number("size", r.fileSize)
                          .Raw("sha256", r.fileRead ? JsonString(r.fileSha256) : "null")
                          .Raw("kind", r.fileRead ? JsonString(r.fileKind) : "null"))
      .Raw("destination", r.destination ? Port(*r.destination).Line() : "null")
      .Raw("identity_before", IdentityJson(x.before))
      .Raw("identity_after", IdentityJson(x.after))
      .Raw("started", r.ran ? JsonString(Iso8601Utc(x.startedUtc)) : "null")
      .Raw("ended", r.ran ? JsonString(Iso8601Utc(x.endedUtc)) : "null")
      .Raw("ticks_played", number(r.ran && smf, p.tick))
      .Raw("ticks_total", number(r.ran && smf, p.totalTicks))
      .Raw("file_messages_total", number(r.ran && !smf, p.messages))
      .Number("messages_sent", x.messagesHanded)
      .Number("messages_delivered", x.messagesLeft)
      .Number("bytes_sent", x.bytesHanded)
      .Number("bytes_delivered", x.bytesSent)
      .Raw("bytes_total", number(r.ran, x.bytesTotal))
      .Number("delivery_warnings", x.deliveryWarnings)
      .Bool("delivery_unverified", x.unverified)
      .Text("outcome", r.outcome)
      .Text("detail", r.detail)
      .Number("exit_status", uint64_t(r.exitStatus));
  return o.Lines();
}

}  // namespace midiflash
