// Fakes for the core's interfaces, and a workflow loaded on them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SmfBuilder.h"
#include "StatusText.h"
#include "UpdateWorkflow.h"

namespace midiflash::testing {

class FakeMidi : public MidiPort {
 public:
  std::vector<std::string> names{"A", "B", "C"};
  std::vector<int64_t> opened;
  std::vector<Bytes> sent;  // every message handed over, bytes as they would leave
  int32_t status = 0;       // what the sends return from send number `failFrom` (0-based) on
  size_t failFrom = 0;
  uint64_t pending = 0;       // PendingBytes(); DropPending() empties it
  int32_t deliveryError = 0;  // DeliveryError(); opening a destination clears it
  uint64_t warnings = 0;      // DeliveryWarnings(); opening a destination clears it
  int drops = 0;              // DropPending() calls
  uint64_t MidiOutDeviceNumber() override { return names.size(); }
  std::string MidiOutDeviceName(uint64_t i) override { return names.at(i); }
  void MidiOutDeviceOpen(int64_t i) override { opened.push_back(i), deliveryError = warnings = 0; }
  int32_t SendShortMessage(uint8_t s, uint8_t d2, uint8_t d3) override {
    return Sent(s >= 0xC0 && s < 0xE0 ? Bytes{s, d2} : Bytes{s, d2, d3});
  }
  int32_t SendLongMessage(const uint8_t* d, uint64_t n) override { return Sent(Bytes(d, d + n)); }
  uint64_t PendingBytes() override { return pending; }
  int32_t DeliveryError() override { return deliveryError; }
  void DropPending() override { pending = 0, ++drops; }
  uint64_t DeliveryWarnings() override { return warnings; }

 private:
  int32_t Sent(Bytes b) {
    return sent.push_back(std::move(b)), sent.size() > failFrom ? status : 0;
  }
};

class FakeView : public UpdateView {
 public:
  std::string fileName, location;
  std::vector<std::string> locations;  // every status text in order
  int progress = -1;
  std::vector<int> progresses;  // every value in order
  Controls shown{true, true, true, true};
  std::vector<std::string> items;
  int64_t selected = -1;
  std::vector<RunOutcome> ends;
  RunResult result;  // of the latest end
  void ShowFileName(const std::string& n) override { fileName = FileNameText(n); }
  void ShowSelectFile() override { fileName = SelectFileText(); }
  void ShowNotice(Notice n) override { Status(NoticeText(n)); }
  void ShowPosition(const Position& p) override { Status(PositionText(p)); }
  void ShowSendError(int32_t s) override { Status(SendErrorText(s)); }
  void ShowDraining(uint64_t b) override { Status(DrainingText(b)); }
  void ShowProgress(int p) override { progresses.push_back(progress = p); }
  void ShowControls(const Controls& c) override { shown = c; }
  void ClearDestinations() override { items.clear(), selected = -1; }
  void AddDestination(const std::string& n) override { items.push_back(n); }
  void AddGoneDestination(const std::string& n) override {
    items.push_back(GoneDestinationText(n));
  }
  void SelectDestination(int64_t i) override { selected = i; }
  int64_t SelectedDestination() const override { return selected; }
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
  void Remove(const std::string& path) { files.erase(path); }
  ReadStatus ReadWhole(const std::string& path, Bytes& out, FileStamp& stamp) override {
    ++reads;
    if (!Stat(path, stamp)) return ReadStatus::kOpenFailed;
    out = files[path];
    return ReadStatus::kOk;
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
};

struct FakeTimer : TickTimer {
  int starts = 0;
  bool running = false;
  void StartTimer() override { ++starts, running = true; }
  void StopTimer() override { running = false; }
};

struct FakeChooser : FileChooser {
  std::string dir;
  std::optional<std::string> answer;
  void SetDirectory(const std::string& d) override { dir = d; }
  std::string Directory() const override { return dir; }
  void SetAllowedFileType(const std::string&) override {}
  std::optional<std::string> RunModal() override { return answer; }
};

struct FakeParts {
  FakeMidi midi;
  FakeView view;
  FakeChooser chooser;
  FakeFiles files;
  FakeClock clock;
  FakeTimer timer;
};

struct CoreHarness : FakeParts {
  UpdateWorkflow wf{midi, view, chooser, files, clock, timer, "/opt/midiflash"};

  CoreHarness() { wf.WindowDidLoad(); }
  void Choose(const Bytes& file, const std::string& path = "/data/u.dat") {
    files.Put(path, file);
    chooser.answer = path;
    wf.OnFileSelClick();
  }
  void Tick(double seconds = kTickPeriodSeconds) { clock.now += seconds, wf.SmfPlayProc(); }
  // Timer periods until the run ends or `limit` ticks went by; returns how many.
  int RunToEnd(int limit = 100000) {
    int n = 0;
    for (; view.ends.empty() && n < limit; ++n) Tick();
    return n;
  }
};

}  // namespace midiflash::testing
