// Fakes for the core's interfaces, and a workflow loaded on them.
#pragma once

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SmfBuilder.h"
#include "StatusText.h"
#include "UpdateWorkflow.h"

namespace midiflash::testing {

// Destinations named by their identity; "thru" ones are pass-through ports.
class FakeMidi : public MidiOutput {
 public:
  std::vector<std::string> names{"A", "B", "C"};
  std::vector<std::string> opened;  // every identity opened, in order
  std::vector<Bytes> sent;          // every message handed over, bytes as they would leave
  int32_t status = 0;  // what the sends return from send number `failFrom` (0-based) on
  size_t failFrom = 0;
  uint64_t largest = UINT64_MAX;  // LargestMessage()
  uint64_t pending = 0;           // PendingBytes(); DropPending() empties it
  int32_t deliveryError = 0;      // DeliveryError(); opening a destination clears it
  uint64_t warnings = 0;          // DeliveryWarnings(); opening a destination clears it
  int drops = 0;                  // DropPending() calls
  bool seesEveryLoss = true;
  std::vector<std::string> sources{"A", "B", "C"};  // ports that are both, as ALSA's often are
  std::vector<std::string> listened;                // every OpenSource, in order
  const char* ServiceName() const override { return "fake"; }
  std::vector<MidiDestination> ListDestinations() override {
    std::vector<MidiDestination> list;
    for (const std::string& n : names) list.push_back({n, n, n, "", n.starts_with("thru")});
    return list;
  }
  int32_t OpenDestination(const std::string& id) override {
    opened.push_back(id), deliveryError = 0, warnings = 0;
    for (const std::string& n : names) {
      if (n == id) return 0;
    }
    return -ENOENT;
  }
  void SetDestinationsChanged(std::function<void()>) override {}
  uint64_t LargestMessage(const std::string&) override { return largest; }
  int32_t Send(const uint8_t* d, size_t n) override {
    return sent.emplace_back(d, d + n), sent.size() > failFrom ? status : 0;
  }
  uint64_t PendingBytes() override { return pending; }
  int32_t DeliveryError() override { return deliveryError; }
  void DropPending() override { pending = 0, ++drops; }
  uint64_t DeliveryWarnings() override { return warnings; }
  bool SeesEveryLoss() const override { return seesEveryLoss; }
  std::vector<MidiDestination> ListSources() override {
    std::vector<MidiDestination> list;
    for (const std::string& n : sources) list.push_back({n, n, n, "", false});
    return list;
  }
  int32_t OpenSource(const std::string& id) override {
    listened.push_back(id);
    return id.empty() || std::count(sources.begin(), sources.end(), id) ? 0 : -ENOENT;
  }
};

class FakeView : public UpdateView {
 public:
  std::string fileName, location, detail;
  std::vector<std::string> locations;  // every status text in order
  int progress = -1;
  std::vector<int> progresses;  // every value in order
  Controls shown{true, true, true, true};
  std::vector<std::string> items;  // labels as the window shows them
  int64_t selected = -1;
  std::vector<RunOutcome> ends;
  RunResult result;                     // of the latest end
  std::vector<std::string> identities;  // every identity text shown, in order
  void ShowFileName(const std::string& n) override { fileName = FileNameText(n); }
  void ShowSelectFile() override { fileName = SelectFileText(); }
  void ShowNotice(Notice n) override { Status(NoticeText(n)); }
  void ShowPosition(const Position& p) override { Status(PositionText(p)); }
  void ShowSendError(int32_t s) override { Status(SendErrorText(s)); }
  void ShowDraining(uint64_t b) override { Status(DrainingText(b)); }
  void ShowDetail(const std::string& t) override { detail = t; }
  void ShowProgress(int p) override { progresses.push_back(progress = p); }
  void ShowControls(const Controls& c) override { shown = c; }
  void ShowDestinations(const std::vector<ListedDestination>& list, int64_t s) override {
    items.clear();
    for (const auto& i : list) {
      items.push_back(i.gone ? GoneDestinationText(i.destination.name) : i.destination.name);
    }
    selected = s;
  }
  void ShowIdentity(const IdentityCheck& c, bool done) override {
    identities.push_back(IdentityCheckText(c, done));
  }
  void RunEnded(const RunResult& r) override { ends.push_back((result = r).outcome); }

 private:
  void Status(const std::string& t) { locations.push_back(location = t); }
};

// Files in memory. Every write gives the files a new modification stamp, as a real write would.
class FakeFiles : public FileSource {
 public:
  std::map<std::string, Bytes> files;
  int reads = 0;
  void Put(const std::string& path, const Bytes& b) { files[path] = b, ++version_; }
  FileRead ReadWhole(const std::string& path, Bytes& out, FileStamp& stamp) override {
    ++reads;
    if (!Stat(path, stamp)) return {ReadStatus::kOpenFailed, ENOENT};
    out = files[path];
    return {};
  }
  bool Stat(const std::string& path, FileStamp& stamp) override {
    if (!files.count(path)) return false;
    stamp = FileStamp{1, 1, files[path].size(), version_, version_};
    return true;
  }

 private:
  int64_t version_ = 0;
};

struct FakeClock : Clock {
  double now = 1000.0;
  double Now() override { return now; }
  double UtcNow() override { return now + 1.8e9; }  // 2027-01-15T08:16:40Z at the start
};

struct FakeTimer : TickTimer {
  int starts = 0;
  bool running = false;
  void StartTimer() override { ++starts, running = true; }
  void StopTimer() override { running = false; }
};

struct FakeParts {
  FakeMidi midi;
  FakeView view;
  FakeFiles files;
  FakeClock clock;
  FakeTimer timer;
};

struct CoreHarness : FakeParts {
  UpdateWorkflow wf{midi, view, files, clock, timer};

  explicit CoreHarness(const std::string& preferred = "") {
    wf.Load(preferred, UpdateWorkflow::Fallback::kFirstDevice);
  }
  void Choose(const Bytes& file, const std::string& path = "/data/u.dat") {
    files.Put(path, file);
    wf.ChooseFile(path);
  }
  void Tick(double seconds = kTickPeriodSeconds) { clock.now += seconds, wf.Tick(); }
  // Timer periods until the run ends or `limit` ticks went by; returns how many.
  int RunToEnd(int limit = 100000) {
    int n = 0;
    for (; view.ends.empty() && n < limit; ++n) Tick();
    return n;
  }
};

}  // namespace midiflash::testing
