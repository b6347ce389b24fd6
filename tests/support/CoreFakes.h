// Fakes for the core's interfaces, which write each call they take to a transcript (`log`), a line
// each, as the user would see it; a workflow loaded on them; scripts that hold their transcripts.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Receipt.h"
#include "SmfBuilder.h"
#include "StatusText.h"
#include "UpdateWorkflow.h"

namespace midiflash::testing {

// printf into a string.
[[gnu::format(printf, 1, 2)]] inline std::string Format(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  return va_end(args), line;
}

struct Transcript {
  std::string* log = nullptr;
  void Log(std::string line) {
    std::replace(line.begin(), line.end(), '\n', '|');
    if (log) *log += line + "\n";
  }
};

// Destinations named by their identity ("thru" ones pass through); sources too.
class FakeMidi : public MidiOutput, public Transcript {
 public:
  std::vector<std::string> names{"A", "B", "C"};
  std::vector<std::string> sources{"A", "B", "C"};  // ports that are both, as ALSA's often are
  std::vector<std::string> opened;                  // every identity opened, in order
  std::vector<Bytes> sent;                          // every message handed over, as it would leave
  int32_t status = 0;  // what the sends return from send number `failFrom` (0-based) on
  size_t failFrom = 0;
  uint64_t largest = UINT64_MAX;  // LargestMessage()
  uint64_t pending = 0;           // PendingBytes(); DropPending() empties it
  int32_t deliveryError = 0;      // DeliveryError(); opening a destination clears it
  int32_t lostOnSend = 0;         // a send takes the message but makes it DeliveryError()
  uint64_t warnings = 0;          // DeliveryWarnings(); opening a destination clears it
  bool seesEveryLoss = true;
  bool lossReportDue = false;  // LossReportDue()
  const char* ServiceName() const override { return "fake"; }
  std::vector<MidiDestination> ListDestinations() override { return List(names, true); }
  int32_t OpenDestination(const std::string& id) override {
    opened.push_back(id), deliveryError = 0, warnings = 0, Log("open " + id);
    return std::count(names.begin(), names.end(), id) ? 0 : -ENOENT;
  }
  void SetDestinationsChanged(std::function<void()>) override {}
  uint64_t LargestMessage(const std::string&) override { return largest; }
  int32_t Send(const uint8_t* d, size_t n) override {
    sent.emplace_back(d, d + n);
    if (log) Log("send" + Hex(sent.back()));  // formatted only where a transcript is kept
    if (lostOnSend != 0) deliveryError = lostOnSend;
    return sent.size() > failFrom ? status : 0;
  }
  uint64_t PendingBytes() override { return pending; }
  int32_t DeliveryError() override { return deliveryError; }
  void DropPending() override { pending = 0, Log("drop"); }
  uint64_t DeliveryWarnings() override { return warnings; }
  bool SeesEveryLoss() const override { return seesEveryLoss; }
  bool LossReportDue() override { return lossReportDue; }
  std::vector<MidiDestination> ListSources() override { return List(sources, false); }
  int32_t OpenSource(const std::string& id) override {
    Log("listen " + (id.empty() ? "to nothing" : id));
    return id.empty() || std::count(sources.begin(), sources.end(), id) ? 0 : -ENOENT;
  }

 private:
  static std::vector<MidiDestination> List(const std::vector<std::string>& ids, bool thru) {
    std::vector<MidiDestination> list;
    for (const std::string& n : ids) list.push_back({n, n, n, "", thru && n.starts_with("thru")});
    return list;
  }
};

struct FakeView : UpdateView, Transcript {
  Controls shown{true, true, true, true};
  std::vector<RunOutcome> ends;
  void ShowFileName(const std::string& n) override { Log("file " + FileNameText(n)); }
  void ShowSelectFile() override { Log("file " + SelectFileText()); }
  void ShowNotice(Notice n) override { Log("status " + NoticeText(n)); }
  void ShowPosition(const Position& p) override { Log("status " + PositionText(p)); }
  void ShowSendError(int32_t s) override { Log("status " + SendErrorText(s)); }
  void ShowDraining(uint64_t b) override { Log("status " + DrainingText(b)); }
  void ShowDetail(const std::string& t) override { Log("detail" + (t.empty() ? "" : " " + t)); }
  void ShowProgress(int p) override { Log("progress " + std::to_string(p)); }
  void ShowControls(const Controls& c) override {
    std::string on;
    for (bool b : {c.fileSel, c.update, c.cancel, c.midiOutDevice, c.identify, c.report})
      on += "01"[b];
    Log("controls " + on), shown = c;
  }
  void ShowDestinations(const std::vector<ListedDestination>& list, int64_t s) override {
    std::string line = "list";
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string& name = list[i].destination.name;
      line += (int64_t(i) == s ? " *" : " ") + (list[i].gone ? GoneDestinationText(name) : name);
    }
    Log(line + (s == -1 ? ", none selected" : ""));
  }
  void ShowIdentity(const IdentityCheck& c, bool done) override {
    Log("identity " + IdentityCheckText(c, done));
  }
  void RunEnded(const RunResult& r) override {
    ends.push_back(r.outcome);
    Log("ended " + OutcomeText(r) +
        Format(
            "; %lu of %lu bytes left, %lu in %lu messages handed, %lu left; warnings %lu%s; exit "
            "status %d",
            r.bytesSent, r.bytesTotal, r.bytesHanded, r.messagesHanded, r.messagesLeft,
            r.deliveryWarnings, r.unverified ? ", unverified" : "", PlayExitStatus(r)) +
        (r.after.asked ? "; " + RevisionChangeText(r.before, r.after) : ""));
  }
};

// Files in memory. Every write gives the files a new modification stamp, as a real write would.
struct FakeFiles : FileSource, Transcript {
  std::map<std::string, Bytes> files;
  int64_t version = 0;
  void Put(const std::string& path, const Bytes& b) { files[path] = b, ++version; }
  FileRead ReadWhole(const std::string& path, Bytes& out, FileStamp& stamp) override {
    Log("read " + path);
    if (!Stat(path, stamp)) return {ReadStatus::kOpenFailed, ENOENT};
    out = files[path];
    return {};
  }
  bool Stat(const std::string& path, FileStamp& stamp) override {
    if (!files.count(path)) return false;
    stamp = FileStamp{1, 1, files[path].size(), version, version};
    return true;
  }
};

struct FakeClock : Clock {
  double now = 1000.0;
  double Now() override { return now; }
  double UtcNow() override { return now + 1.8e9; }  // 2027-01-15T08:16:40Z at the start
};

struct FakeTimer : TickTimer, Transcript {
  bool running = false;
  void StartTimer() override { running = true, Log("timer on"); }
  void StopTimer() override { running = false, Log("timer off"); }
};

struct FakeParts {
  FakeMidi midi;
  FakeView view;
  FakeFiles files;
  FakeClock clock;
  FakeTimer timer;
  // Every fake writes to `*to` from now on.
  void Record(std::string* to) { midi.log = view.log = files.log = timer.log = to; }
};

// Loaded with the first device chosen.
struct CoreHarness : FakeParts {
  UpdateWorkflow wf{midi, view, files, clock, timer};
  CoreHarness() { wf.Load("", UpdateWorkflow::Fallback::kFirstDevice); }
  void Choose(const Bytes& file, const std::string& path = "/data/u.dat") {
    files.Put(path, file);
    wf.ChooseFile(path);
  }
  void Tick(double seconds = kTickPeriodSeconds) { clock.now += seconds, wf.Tick(); }
};

// True when golden files are to be rewritten from what the program does now (review the diff).
inline bool Regenerating() {
  const char* v = std::getenv("MIDIFLASH_REGENERATE");
  return v != nullptr && std::string(v) == "1";
}

// Scripts: "> command words" lines, each followed by the transcript the command writes; '#' lines
// and blank lines are kept. A step carries out one command (its name first), appending to `out`.
using ScriptStep = std::function<void(const std::vector<std::string>& words, std::string& out)>;
// Each script in `folder` whose name begins with `prefix`, replayed with a `fresh()` step: its
// path, what it writes and what it holds; Regenerating() writes the new transcripts into the files.
inline std::vector<std::tuple<std::string, std::string, std::string>> ReplayScripts(
    const std::string& folder, const std::string& prefix,
    const std::function<ScriptStep()>& fresh) {
  std::vector<std::tuple<std::string, std::string, std::string>> scripts;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.path().filename().string().starts_with(prefix)) continue;
    std::ifstream in(entry.path());
    std::string want(std::istreambuf_iterator<char>(in), {}), got, line;
    std::istringstream script(want);
    const ScriptStep step = fresh();
    while (std::getline(script, line)) {
      if (line.empty() || line[0] == '#') got += line + "\n";
      if (!line.starts_with("> ")) continue;  // else a transcript line, written anew
      std::istringstream words(line.substr(2));
      got += line + "\n";
      step({std::istream_iterator<std::string>(words), {}}, got);
    }
    scripts.emplace_back(entry.path().string(), got, want);
    if (Regenerating()) std::ofstream(entry.path()) << got;
  }
  return scripts;
}
// Bytes written as hexadecimal words.
inline Bytes FromHex(std::vector<std::string>::const_iterator from,
                     std::vector<std::string>::const_iterator to) {
  Bytes b;
  for (; from < to; ++from) b.push_back(uint8_t(std::stoul(*from, nullptr, 16)));
  return b;
}

}  // namespace midiflash::testing
