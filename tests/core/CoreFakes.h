// Fakes for the core's interfaces: a recording MIDI port, a view that keeps what it shows, files
// held in memory, a clock the test moves, a timer that only counts, a dialog that answers itself.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "FileChooser.h"
#include "FileSource.h"
#include "MidiPort.h"
#include "SmfBuilder.h"
#include "TickTimer.h"
#include "UpdateView.h"
#include "UpdateWorkflow.h"

namespace midiflash::testing {

class FakeMidi : public MidiPort {
 public:
  std::vector<std::string> names{"Port A", "Port B", "Port C"};
  std::vector<int64_t> opened;
  std::vector<Bytes> sent;  // every message handed over, bytes as they would leave
  int32_t status = 0;       // what the next sends return
  uint64_t MidiOutDeviceNumber() override { return names.size(); }
  std::string MidiOutDeviceName(uint64_t i) override {
    return i < names.size() ? names[i] : "(null)";
  }
  void MidiOutDeviceOpen(int64_t i) override { opened.push_back(i); }
  int32_t SendShortMessage(uint8_t s, uint8_t d2, uint8_t d3) override {
    sent.push_back(s >= 0xC0 && s < 0xE0 ? Bytes{s, d2} : Bytes{s, d2, d3});
    return status;
  }
  int32_t SendLongMessage(const uint8_t* data, uint64_t size) override {
    sent.emplace_back(data, data + size);
    return status;
  }
};

class FakeView : public UpdateView {
 public:
  std::string fileName, location;
  std::vector<std::string> locations;  // every status text in order
  double progress = -1, progressMin = -1, progressMax = -1;
  bool fileSel = true, update = true, cancel = true, midiOut = true;
  std::vector<std::string> items;
  int64_t selected = -1;
  std::vector<RunOutcome> ends;
  void SetFileNameText(const std::string& t) override { fileName = t; }
  void SetLocationText(const std::string& t) override {
    location = t;
    locations.push_back(t);
  }
  void SetProgressRange(double a, double b) override {
    progressMin = a;
    progressMax = b;
  }
  void SetProgress(double v) override { progress = v; }
  void SetFileSelEnabled(bool e) override { fileSel = e; }
  void SetUpdateEnabled(bool e) override { update = e; }
  void SetCancelEnabled(bool e) override { cancel = e; }
  void SetMidiOutDeviceEnabled(bool e) override { midiOut = e; }
  void ClearDestinations() override {
    items.clear();
    selected = -1;
  }
  void AddDestination(const std::string& n) override { items.push_back(n); }
  void SelectDestination(int64_t i) override { selected = i; }
  int64_t SelectedDestination() const override { return selected; }
  void RunEnded(RunOutcome o) override { ends.push_back(o); }
};

// Files in memory. Every write gives the file a new modification stamp, as a real write would.
class FakeFiles : public FileSource {
 public:
  std::map<std::string, Bytes> files;
  int reads = 0;
  void Put(const std::string& path, const Bytes& b) {
    files[path] = b;
    ++version_;
  }
  void Remove(const std::string& path) { files.erase(path); }
  ReadStatus ReadWhole(const std::string& path, std::vector<uint8_t>& out,
                       FileStamp& stamp) override {
    ++reads;
    auto it = files.find(path);
    if (it == files.end()) return ReadStatus::kOpenFailed;
    out = it->second;
    Stat(path, stamp);
    return ReadStatus::kOk;
  }
  bool Stat(const std::string& path, FileStamp& stamp) override {
    auto it = files.find(path);
    if (it == files.end()) return false;
    stamp = FileStamp{1, 1, it->second.size(), version_, version_};
    return true;
  }

 private:
  int64_t version_ = 0;
};

class FakeClock : public Clock {
 public:
  double now = 1000.0;
  double Now() override { return now; }
};

class FakeTimer : public TickTimer {
 public:
  int starts = 0, stops = 0;
  bool running = false;
  void StartTimer() override {
    ++starts;
    running = true;
  }
  void StopTimer() override {
    ++stops;
    running = false;
  }
};

class FakeChooser : public FileChooser {
 public:
  std::string dir;
  std::string type;
  std::optional<std::string> answer;
  void SetDirectory(const std::string& d) override { dir = d; }
  std::string Directory() const override { return dir; }
  void SetAllowedFileType(const std::string& t) override { type = t; }
  std::optional<std::string> RunModal() override { return answer; }
};

// One of each fake, for a workflow to be built on.
struct FakeParts {
  FakeMidi midi;
  FakeView view;
  FakeChooser chooser;
  FakeFiles files;
  FakeClock clock;
  FakeTimer timer;
};

// A workflow on the fakes, loaded, with helpers to choose a file and move time.
struct CoreHarness : FakeParts {
  static constexpr double kPeriod = 128.0 / 44100.0;  // one timer period, about 2.9025 ms

  UpdateWorkflow wf{midi, view, chooser, files, clock, timer, "/opt/midiflash"};

  CoreHarness() { wf.WindowDidLoad(); }
  void Choose(const Bytes& file, const std::string& path = "/data/u.dat") {
    files.Put(path, file);
    chooser.answer = path;
    wf.OnFileSelClick();
  }
  void Tick(double seconds) {
    clock.now += seconds;
    wf.SmfPlayProc();
  }
  // Ticks of `step` seconds until the run ends or `limit` ticks went by; returns how many.
  int RunToEnd(int limit = 100000, double step = kPeriod) {
    int n = 0;
    for (; view.ends.empty() && n < limit; ++n) Tick(step);
    return n;
  }
};

}  // namespace midiflash::testing
