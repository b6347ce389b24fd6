// The workflow as the front ends see it: scripts tests/core/scripts/workflow-*.txt drive it on the
// fakes and hold the transcript each command must write (every call the MIDI output, the view, the
// files and the timer take, log lines and phase changes).
#include <gtest/gtest.h>

#include <memory>

#include "CoreFakes.h"
#include "Log.h"
#include "Pacing.h"
#include "Receipt.h"

namespace midiflash {
namespace {

using namespace midiflash::testing;

const std::string kPhases[] = {"no file",  "ready",    "unreadable", "refused",     "not opened",
                               "updating", "draining", "ended",      "identifying", "verifying"};

// A run of a note at tick 1500 and End of Track at 3000: the timer periods it takes, against what
// the pacing model says (and says of no ticks at all).
std::string Paced(uint16_t division) {
  CoreHarness h;
  TrackBuilder t;
  h.Choose(Smf(1, division, {t.Event(1500, {0x90, 1, 1}).EndOfTrack(1500)}));
  h.wf.Start();
  int periods = 0;
  for (; h.view.ends.empty() && periods < 2000000; ++periods) h.Tick();
  return Format("%d periods, %.9f s, %zu sent; the model: %.9f s, %.9f s\n", periods,
                periods * kTickPeriodSeconds, h.midi.sent.size(), PacedSeconds(3000, division),
                PacedSeconds(0, division));
}

struct Scenario : FakeParts {
  UpdateWorkflow wf{midi, view, files, clock, timer};
};

// The commands of one script, on a scenario that "new" replaces; `log` is the transcript.
struct Script {
  std::string& log;
  std::unique_ptr<Scenario> s;
  std::map<std::string, Bytes> named;  // files the script wrote as SmfOf reads them
  std::vector<std::string> w;  // the words after the command's name; `a` the first, `x` its value
  std::string a;
  double x = 0;
  explicit Script(std::string& transcript) : log(transcript) { New(); }
  void New() { s = std::make_unique<Scenario>(), s->Record(&log); }
  Bytes Hex(size_t from) const { return FromHex(w.begin() + long(from), w.end()); }
  void Ticks(int n, double seconds, bool whileRunning = false) {
    for (int i = 0; i < n && (s->wf.running() || !whileRunning); ++i) {
      s->clock.now += seconds, s->wf.Tick();
    }
  }
  void operator()(const std::vector<std::string>& words, std::string& out) {
    const double kP = kTickPeriodSeconds;
    const std::map<std::string, std::function<void()>> commands = {
        {"new", [&] { New(); }},
        {"names", [&] { s->midi.names = w; }},
        {"sources", [&] { s->midi.sources = w; }},
        {"load", [&] { s->wf.Load(a == "-" ? "" : a, UpdateWorkflow::Fallback(w[1] == "none")); }},
        {"file", [&] { named[a] = SmfOf(w.begin() + 1, w.end()); }},
        {"put", [&] { s->files.Put(a, named.count(w.at(1)) ? named[w[1]] : Hex(1)); }},
        {"rm", [&] { s->files.files.erase(a); }},
        {"choose", [&] { s->wf.ChooseFile(a); }},
        {"dest", [&] { s->wf.ChooseDestination(a); }},
        {"changed", [&] { s->wf.DestinationsChanged(); }},
        {"start", [&] { s->wf.Start(); }},
        {"cancel", [&] { s->wf.Cancel(); }},
        {"identify", [&] { s->wf.Identify(); }},
        {"verify", [&] { s->wf.SetVerify(true, uint32_t(x)); }},
        {"gap", [&] { s->wf.SetSysExGap(uint32_t(x)); }},
        {"receive", [&] { s->wf.Received(Hex(0).data(), w.size()); }},
        {"tick", [&] { Ticks(1, w.empty() ? kP : x); }},
        {"at", [&] { Ticks(1, 1000.0 + x - s->clock.now); }},
        {"ticks", [&] { Ticks(int(x), w.size() > 1 ? std::stod(w[1]) : kP); }},
        {"run", [&] { Ticks(100000, kP, true); }},
        {"fail", [&] { s->midi.failFrom = size_t(x), s->midi.status = std::stoi(w[1]); }},
        {"error", [&] { s->midi.deliveryError = int32_t(x); }},
        {"lose", [&] { s->midi.lostOnSend = int32_t(x); }},
        {"pending", [&] { s->midi.pending = uint64_t(x); }},
        {"warnings", [&] { s->midi.warnings = uint64_t(x); }},
        {"blind", [&] { s->midi.seesEveryLoss = false; }},
        {"due", [&] { s->midi.lossReportDue = x != 0; }},
        {"largest", [&] { s->midi.largest = uint64_t(x); }},
        {"pace", [&] { log += Paced(uint16_t(x)); }},
        {"receipt", [&] { log += ReceiptJson(DescribeRun(s->wf, "midiflash-test")); }},
    };
    w.assign(words.begin() + 1, words.end());
    a = w.empty() ? "" : w[0], x = std::atof(a.c_str());
    const Phase was = s->wf.phase();
    const auto command = commands.find(words[0]);
    if (command == commands.end()) ADD_FAILURE() << "unknown command " << words[0];
    if (command != commands.end()) command->second();
    if (words[0] != "new" && s->wf.phase() != was)
      log += "phase " + kPhases[int(s->wf.phase())] + "\n";
    out += log, log.clear();
  }
};

TEST(Workflow, EachScriptWritesItsTranscript) {
  std::string log;
  ScopedLogCapture capture{[&](const std::string& l) { log += "log " + l + "\n"; }};
  const auto scripts = ReplayScripts(MIDIFLASH_SCRIPTS, "workflow-", [&]() -> ScriptStep {
    const auto script = std::make_shared<Script>(log);
    return [script](const auto& words, std::string& out) { (*script)(words, out); };
  });
  EXPECT_EQ(scripts.size(), 10u);
  for (const auto& [path, got, want] : scripts) EXPECT_EQ(got, want) << path;
}

}  // namespace
}  // namespace midiflash
