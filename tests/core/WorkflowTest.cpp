// The workflow as the front ends see it: scripts under tests/core/workflow drive it on the fakes
// ("> command" lines) and hold the transcript each step must write (every call the MIDI output,
// the view, the files and the timer take, log lines and phase changes). MIDIFLASH_REGENERATE=1
// rewrites the transcripts from what the program does now; review the diff before keeping it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "CoreFakes.h"
#include "Log.h"
#include "Pacing.h"
#include "Receipt.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

// The files scripts put by name: ten notes two ticks apart after the first, End of Track two
// ticks on (at 480 a quarter note a timer period is worth two ticks); three System Exclusive
// messages at tick 0, a note at tick 1; a track that is silent for 4,000,000 ticks; System
// Exclusive, escape, meta and running status at tick 0 in two tracks, then 30 notes.
Bytes Named(const std::string& name) {
  TrackBuilder t, u;
  if (name == "tennotes") {
    for (uint8_t i = 0; i < 10; ++i) t.Event(i == 0 ? 0 : 2, {0x90, i, 1});
    return Smf(1, 480, {t.EndOfTrack(2)});
  }
  if (name == "opening") {
    t.SysEx(0, {0x7D, 1}).SysEx(0, {0x7D, 2}).SysEx(0, {0x7D, 3}).Event(1, {0x90, 1, 1});
    return Smf(0, 480, {t.EndOfTrack(1)});
  }
  if (name == "silent") return Smf(1, 480, {t.EndOfTrack(4000000)});
  if (name == "format2") return Header(2, 1, 480);
  if (name == "division0") return Smf(0, 0, {t.EndOfTrack()});
  t.SysEx(0, {0x41, 0x10, 0xF7}).Escape(0, {0x43, 0x12}).SysEx(0, {}).Meta(0, 0x01, {'x'});
  u.Event(0, {0xC5, 0x07}).Meta(0, 0x58, {6, 3, 0x18, 8}).Event(0, {0x09}).SysEx(0, {0x55});
  for (int i = 0; i < 30; ++i) u.Event(1, {0x90, 1, 1});
  EXPECT_EQ(name, "mixed") << "no file of that name";
  return Smf(1, 480, {t.SysEx(1, {0x7E}).EndOfTrack(), u.EndOfTrack()});
}

const std::string kPhases[] = {"no file",  "ready",    "unreadable", "refused",     "not opened",
                               "updating", "draining", "ended",      "identifying", "verifying"};

// Where the run left the choice, what it says of the device, and the exit status it makes.
std::string Result(const UpdateWorkflow& wf) {
  const RunResult& r = wf.result();
  return "chosen " + (wf.chosen() ? wf.chosen()->id : "none") + "; " +
         RevisionChangeText(r.before, r.after) + "; exit status " +
         std::to_string(PlayExitStatus(r)) + "\n";
}

struct Scenario : FakeParts {
  UpdateWorkflow wf{midi, view, files, clock, timer};
};

// Runs one script line by line; returns the script with each command's transcript after it.
std::string Replay(std::istream& script) {
  std::string out, line, log, a;
  std::vector<std::string> w;  // the command's words after its name; `a` the first, `x` its value
  double x = 0;
  ScopedLogCapture capture{[&](const std::string& l) { log += "log " + l + "\n"; }};
  auto s = std::make_unique<Scenario>();
  s->Record(&log);
  const auto hex = [&](size_t from) {
    Bytes b;
    for (size_t i = from; i < w.size(); ++i) b.push_back(uint8_t(std::stoul(w[i], nullptr, 16)));
    return b;
  };
  const auto change = [&](auto how) {
    Bytes b = s->files.files.at(a);
    how(b), s->files.Put(a, b);
  };
  const double kP = kTickPeriodSeconds;
  const auto tick = [&](double seconds) { s->clock.now += seconds, s->wf.Tick(); };
  const auto ticks = [&](int n, double seconds, bool whileRunning) {
    for (int i = 0; i < n && (s->wf.running() || !whileRunning); ++i) tick(seconds);
  };
  const std::map<std::string, std::function<void()>> commands = {
      {"new", [&] { s = std::make_unique<Scenario>(), s->Record(&log); }},
      {"names", [&] { s->midi.names = w; }},
      {"sources", [&] { s->midi.sources = w; }},
      {"load", [&] { s->wf.Load(a == "-" ? "" : a, UpdateWorkflow::Fallback(w[1] == "none")); }},
      {"put", [&] { s->files.Put(a, w.size() == 2 ? Named(w[1]) : hex(1)); }},
      {"rm", [&] { s->files.files.erase(a); }},
      {"cut", [&] { change([&](Bytes& b) { b.resize(b.size() - std::stoul(w[1])); }); }},
      {"flip", [&] { change([&](Bytes& b) { b[b.size() - std::stoul(w[1])] ^= 1; }); }},
      {"grow", [&] { change([](Bytes& b) { b.push_back(0); }); }},
      {"choose", [&] { s->wf.ChooseFile(a); }},
      {"dest", [&] { s->wf.ChooseDestination(a); }},
      {"changed", [&] { s->wf.DestinationsChanged(); }},
      {"start", [&] { s->wf.Start(); }},
      {"cancel", [&] { s->wf.Cancel(); }},
      {"identify", [&] { s->wf.Identify(); }},
      {"verify", [&] { s->wf.SetVerify(true, uint32_t(x)); }},
      {"gap", [&] { s->wf.SetSysExGap(uint32_t(x)); }},
      {"receive", [&] { s->wf.Received(hex(0).data(), w.size()); }},
      {"tick", [&] { tick(w.empty() ? kP : x); }},
      {"at", [&] { tick(1000.0 + x - s->clock.now); }},
      {"ticks", [&] { ticks(int(x), w.size() > 1 ? std::stod(w[1]) : kP, false); }},
      {"run", [&] { ticks(100000, kP, true); }},
      {"fail", [&] { s->midi.failFrom = size_t(x), s->midi.status = std::stoi(w[1]); }},
      {"error", [&] { s->midi.deliveryError = int32_t(x); }},
      {"pending", [&] { s->midi.pending = uint64_t(x); }},
      {"warnings", [&] { s->midi.warnings = uint64_t(x); }},
      {"blind", [&] { s->midi.seesEveryLoss = false; }},
      {"largest", [&] { s->midi.largest = uint64_t(x); }},
      {"result", [&] { log += Result(s->wf); }},
      {"receipt", [&] { log += ReceiptJson(DescribeRun(s->wf, "midiflash-test")); }},
  };
  while (std::getline(script, line)) {
    if (!line.starts_with("> ")) {
      if (line.empty() || line[0] == '#') out += line + "\n";  // else an old transcript line
      continue;
    }
    std::istringstream in(line.substr(2));
    std::string name;
    in >> name;
    w.assign(std::istream_iterator<std::string>(in), {});
    a = w.empty() ? "" : w[0], x = std::atof(a.c_str());
    const Phase was = s->wf.phase();
    const auto command = commands.find(name);
    if (command == commands.end()) ADD_FAILURE() << "unknown command: " << line;
    if (command != commands.end()) command->second();
    if (name != "new" && s->wf.phase() != was) log += "phase " + kPhases[int(s->wf.phase())] + "\n";
    out += line + "\n" + log, log.clear();
  }
  return out;
}

TEST(Workflow, EachScriptWritesItsTranscript) {
  const std::filesystem::path folder = MIDIFLASH_WORKFLOW_SCRIPTS;
  const bool regenerate = std::getenv("MIDIFLASH_REGENERATE") != nullptr;
  int scripts = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path());
    ++scripts;
    std::ifstream in(entry.path());
    const std::string want{std::istreambuf_iterator<char>(in), {}};
    std::istringstream script(want);
    const std::string got = Replay(script);
    if (regenerate) std::ofstream(entry.path()) << got;
    EXPECT_EQ(got, want);
  }
  EXPECT_GE(scripts, 6);
}

// Divisions below one tick a period (time must build up, not be lost), around it (172/173) and
// above it: a run takes the time the pacing model says.
TEST(Pacing, TheModelMatchesTheSequencer) {
  ScopedLogCapture quiet{[](const std::string&) {}};
  for (uint16_t division : {30, 96, 172, 173, 480, 960, 0x7FFF}) {
    CoreHarness h;
    TrackBuilder t;
    h.Choose(Smf(1, division, {t.Event(1500, {0x90, 1, 1}).EndOfTrack(1500)}));
    h.wf.Start();
    const int periods = h.RunToEnd(2000000);
    EXPECT_EQ(h.midi.sent.size(), 1u);
    EXPECT_NEAR(periods * kTickPeriodSeconds, PacedSeconds(3000, division), 1e-9) << division;
  }
  EXPECT_EQ(PacedSeconds(0, 96), 0.0);
}

}  // namespace
}  // namespace midiflash
