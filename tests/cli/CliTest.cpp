// midiflash-cli on generated files and a private JACK server; its list and terminal view on fakes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "CliPortMatch.h"
#include "CliView.h"
#include "CoreFakes.h"
#include "JackServerEnvironment.h"
#include "ListCommand.h"
#include "Pacing.h"
#include "RecordingClient.h"
#include "TestHelpers.h"
#include "Version.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono;
const std::string kData = MIDIFLASH_SOURCE_DIR "/tests/data/";
::testing::Environment* const kServer =
    ::testing::AddGlobalTestEnvironment(new JackServerEnvironment);
const ScopedEnv kJackOnly("MIDIFLASH_MIDI_API", "jack");  // every test here meets that server

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// midiflash-cli as a child process, its stdout and stderr captured in memory files.
struct CliProcess {
  explicit CliProcess(std::vector<std::string> args, bool finish = false) {
    args.insert(args.begin(), MIDIFLASH_CLI_PATH);
    std::vector<char*> argv;  // made before fork: the child only redirects and execs
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid = fork()) == 0) {
      dup2(fds_[0], STDOUT_FILENO), dup2(fds_[1], STDERR_FILENO);
      execv(argv[0], argv.data()), _exit(127);
    }
    if (finish) Wait();
  }
  ~CliProcess() {
    if (status < 0) kill(pid, SIGKILL), Wait();
    close(fds_[0]), close(fds_[1]);
  }
  bool Shows(const std::string& text) const {
    return Eventually([&] { return Output(0).find(text) != std::string::npos; }, seconds(5));
  }
  int Wait() {
    int s = 0;
    waitpid(pid, &s, 0);
    out = Output(0), err = Output(1);
    return status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
  }

  int status = -1;
  std::string out, err;
  // Opened anew, so that reading leaves alone the file offset the child writes at.
  std::string Output(int i) const { return ReadFile("/proc/self/fd/" + std::to_string(fds_[i])); }
  pid_t pid = -1;
  const int fds_[2] = {memfd_create("stdout", 0), memfd_create("stderr", 0)};
};

struct TempDir {
  std::string path = [] {
    char p[] = "/tmp/midiflash-test-XXXXXX";
    return std::string(mkdtemp(p)) + "/";
  }();
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string Put(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path + name).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path + name;
  }
};

// What midiflash-cli writes for `args`, stdout then stderr, with `dir` left out, and its status.
std::string Transcript(const std::vector<std::string>& args, const std::string& dir) {
  const CliProcess cli(args, true);
  std::string out = cli.out + cli.err + "exit " + std::to_string(cli.status) + "\n";
  for (size_t at; (at = out.find(dir)) != std::string::npos;) out.erase(at, dir.size());
  return out;
}

// Cases and what `run` gives for each, against tests/data/`name` (rewritten when Regenerating()).
// Without `cases`, the file's "==== CASE" lines: a case is added there as a line.
void ExpectGolden(const std::string& name, std::vector<std::string> cases,
                  const std::function<std::string(const std::string&)>& run) {
  const std::string want = ReadFile(kData + name);
  std::istringstream in(cases.empty() ? want : "");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("==== ")) cases.push_back(line.substr(5));
  }
  std::string all;
  for (const std::string& c : cases) all += "==== " + c + "\n" + run(c);
  if (Regenerating()) std::ofstream(kData + name) << all;
  EXPECT_FALSE(cases.empty()) << name;
  EXPECT_EQ(all, want) << name;
}

// `list` on fakes, its change lines and --port matching, as tests/data/ports.txt holds them: odd
// names escaped, changes told by identity, ports found by index, identity, name or a beginning.
TEST(ListCommandTest, NamesAreEscapedChangesToldByIdentityAndPortsMatched) {
  using L = std::vector<MidiDestination>;
  const L before = {
      {"20:0", "Synth:in", "Synth", "in"},
      {"21:0", "Pad:in", "Pad", "in"},
      {"21:1", "Pad:out", "Pad", "out"},
      {"24:0", "Virtual Raw MIDI 0-0:VirMIDI 0-0", "Virtual Raw MIDI 0-0", "VirMIDI 0-0"}};
  // One in front of the others, two gone, one renamed under the same identity.
  const L after = {
      {"19:0", "New:in", "", ""}, {"20:0", "Synth:in", "", ""}, {"21:1", "Pads", "", ""}};
  ExpectGolden("ports.txt", {}, [&](const std::string& c) {
    std::ostringstream out, err;
    if (c.starts_with("list")) {  // quotes, a backslash, control bytes, UTF-8; a pass-through port
      FakeMidi ports;
      ports.names = {"thru", "q \"\\\n\t\x1f\x7f Gerät"};
      if (c.ends_with("none")) ports.names.clear();
      EXPECT_EQ(RunListCommand(ports, c.find("--json") != c.npos, out, err), 0);
    } else if (c.starts_with("changes")) {
      for (const auto& line : DescribeChanges(before, c.ends_with("none") ? before : after)) {
        out << line << "\n";
      }
    } else {
      const PortMatch m = MatchPort(before, c.substr(7));  // "--port TEXT"
      out << m.index << (m.error.empty() ? "" : " " + m.error) << "\n";
    }
    return out.str();
  });
}

// Every file of the corpus through check, check --json and dump (files up to 4 KiB), each output
// with its exit status, against tests/data/golden.txt; every JSON report must parse.
TEST(Golden, CheckAndDumpOfEveryCorpusFile) {
  std::vector<std::string> names, cases;
  for (const auto& e : std::filesystem::directory_iterator(kData)) {
    const std::string ext = e.path().extension();
    if (ext == ".dat" || ext == ".syx") names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    for (const char* how : {"check ", "--json ", "dump "}) {
      if (how[0] != 'd' || std::filesystem::file_size(kData + name) <= 4096)
        cases.push_back(how + name);
    }
  }
  std::string json;
  ExpectGolden("golden.txt", cases, [&](const std::string& c) {
    const std::string how = c.substr(0, c.find(' ')), file = kData + c.substr(how.size() + 1);
    const std::string out =
        Transcript(how == "--json" ? std::vector<std::string>{"check", how, file}
                                   : std::vector<std::string>{how, file},
                   kData);
    if (how == "--json") json += out.substr(0, out.find('\n') + 1);
    return out;
  });
  const TempDir dir;
  const std::string py = "python3 -c 'import json,sys\nfor l in open(sys.argv[1]): json.loads(l)' ";
  EXPECT_EQ(std::system((py + dir.Put("reports", Bytes(json.begin(), json.end()))).c_str()), 0);
}

// Help, version, and each mistake's message and exit status as tests/data/usage.txt holds them
// ("@": a file made here), with two destinations whose names begin alike.
TEST(CliConventions, EveryMistakeHasItsMessageAndExitStatus) {
  RecordingClient device("device", "in"), other("device2", "in");
  const TempDir dir;
  const Bytes gm_on{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  dir.Put("f.dat", Smf(0, 96, {TrackBuilder().EndOfTrack()}));
  dir.Put("refused.dat", Smf(2, 480, {}));
  dir.Put("large.dat", Smf(0, 96, {TrackBuilder().SysEx(3, Bytes(40000, 1)).EndOfTrack()}));
  dir.Put("gm.syx", Cat({gm_on, gm_on}));
  dir.Put("large.syx", Cat({gm_on, {0xF0}, Bytes(40000, 1), {0xF7}}));
  ExpectGolden("usage.txt", {}, [&](const std::string& line) {
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string w; words >> w;) args.push_back(w[0] == '@' ? dir.path + w.substr(1) : w);
    return Transcript(args, dir.path);
  });
  EXPECT_EQ(CliProcess({"-V"}, true).out, std::string("midiflash-cli ") + kVersion + "\n");
}

// Two System Exclusive messages at tick 0, then `n` 24 ticks apart at division 480 (every third a
// 101-byte System Exclusive, the others notes), the end `end_gap` later; `sent`: what must arrive.
Bytes Update(int n, uint32_t end_gap, std::vector<Bytes>& sent) {
  TrackBuilder conductor, data;
  conductor.Meta(0, 0x51, {0x07, 0xA1, 0x20}).Meta(0, 0x58, {4, 2, 24, 8}).EndOfTrack();
  for (int i = -2; i < n; ++i) {
    const auto b = static_cast<uint8_t>(i & 0x7F);
    const bool sysex = i < 0 || i % 3 == 0;
    sent.push_back(sysex ? Cat({{0xF0}, Bytes(i < 0 ? 2 : 99, b), {0xF7}}) : Bytes{0x90, b, 0x40});
    sysex ? data.SysEx(i < 0 ? 0 : 24, Bytes(sent.back().begin() + 1, sent.back().end()))
          : data.Event(24, sent.back());
  }
  return Smf(1, 480, {conductor, data.EndOfTrack(end_gap)});
}

// On a terminal the progress is redrawn in place, and again as the run ends; the end and a
// possible loss are lines of their own, without the window's guidance.
TEST(CliView, TheProgressIsRedrawnInPlaceAndTheEndIsALineOfItsOwn) {
  FakeParts p;
  std::ostringstream out;
  CliView view(out, true);
  UpdateWorkflow wf(p.midi, view, p.files, p.clock, p.timer);
  wf.Load("A", UpdateWorkflow::Fallback::kNone);
  std::vector<Bytes> sent;
  p.files.Put("/d/u.dat", Update(60, 0, sent));
  wf.ChooseFile("/d/u.dat");
  wf.Start();
  for (int i = 0; wf.phase() != Phase::kEnded && i < 100; ++i) {
    if (i == 10) p.midi.warnings = 2;  // the MIDI service may have lost messages
    p.clock.now += 0.1;
    wf.Tick();
    view.Flush();
  }
  const std::string s = out.str();
  EXPECT_TRUE(s.starts_with("2 opening messages went to A.\nStart\n")) << s;
  EXPECT_NE(s.find("\r[    0m 00s] [ 00000096 / 00001440 ticks] [##."), std::string::npos);
  EXPECT_GT(s.rfind('\r'), s.find('\r')) << s;
  EXPECT_TRUE(
      s.ends_with("\nUpdating is completed !!\nWarning: delivery may be incomplete: the "
                  "MIDI service may have lost messages 2 time(s)\n"))
      << s;
}

// Round 0 plays the whole file; then SIGINT or SIGTERM at random or racing the run's end; then a
// fault (destination or server gone, file deleted, grown or cut short). What arrived is the file's
// messages from the first, in order, nothing later; the status follows the end.
TEST(PlayFixture, PlaysAtThePaceOfTheFileAndASignalOrAFaultLeavesNothingHalfSent) {
  enum Fault { kNone, kUnplug, kDelete, kGrow, kTruncate, kKillServer };
  std::unique_ptr<JackServer> own;  // for the last round; it outlives the client on it
  std::optional<RecordingClient> rec(std::in_place, "device", "in");
  std::srand(20261206);
  int retries = 0;
  const int signals = JackKindFromEnv() == JackKind::kSync ? 50 : 10;  // the races: once in full
  for (int round = 0; round <= signals + 5; ++round) {
    SCOPED_TRACE(round);
    const Fault fault = round > signals ? Fault(round - signals) : kNone;
    std::string error;
    if (fault) rec.reset();  // the JACK clients of a process are on one server at a time
    if (fault == kKillServer) own = JackServer::Start(&error);
    ASSERT_TRUE(fault != kKillServer || own != nullptr) << error;
    if (fault) rec.emplace("device", "in");
    const size_t before = rec->Count();
    std::vector<Bytes> sent;
    const Bytes bytes = fault ? Update(300, 24, sent) : Update(31, 0, sent);  // 10 s or 1 s
    const TempDir dir;
    const std::string file = dir.Put("u.dat", bytes);
    auto t0 = steady_clock::now();
    CliProcess cli({"play", "--verbose", file, "--port", rec->FullPortName()});
    const int signo = round % 2 ? SIGTERM : SIGINT;
    if (fault) {
      ASSERT_TRUE(rec->WaitForCount(before + 10, seconds(10)));
      t0 = steady_clock::now();
      ASSERT_TRUE(fault != kKillServer || own->Kill());
      if (fault == kUnplug) rec->Close();
      if (fault == kDelete) unlink(file.c_str());
      if (fault == kGrow) std::ofstream(file, std::ios::app) << "more";
      ASSERT_TRUE(fault != kTruncate || truncate(file.c_str(), off_t(bytes.size() / 2)) == 0);
    } else if (round % 4 >= 2) {
      rec->WaitForCount(before + sent.size(), seconds(5));
      std::this_thread::sleep_for(microseconds(std::rand() % 4000));
    } else if (round > 0) {
      std::this_thread::sleep_for(milliseconds(std::rand() % 1200));
    }
    if (round > 0 && !fault) kill(cli.pid, signo);
    const int status = cli.Wait();
    // While the server still removes the client that a signal killed a round earlier, it may
    // refuse a new one, or its port: the program then says so and sends nothing. Played again.
    if (!fault && retries < 2 &&
        ((status == 2 && cli.err.find("MIDIClientCreate err") != std::string::npos) ||
         (status == 3 && cli.err.find("MIDIOutputPortCreate err") != std::string::npos))) {
      EXPECT_EQ(rec->Count(), before);
      --round, ++retries;
      continue;
    }
    const double took = duration<double>(steady_clock::now() - t0).count();
    // A late cycle of a server without real-time rights ends in exit 5; on PipeWire a line says
    // that losses could not be seen.
    const std::string out = "\n" + cli.out;
    const bool completed = out.ends_with("\nUpdating is completed !!\n") ||
                           out.ends_with(" time(s)\n") ||
                           out.ends_with("!!\n" + UnverifiedText() + "\n");
    ASSERT_TRUE(completed || round > 0) << out << cli.err;
    if (fault) {
      const bool send = fault == kUnplug || fault == kKillServer;
      EXPECT_EQ(status, send ? 3 : 4) << out << cli.err;
      EXPECT_LT(took, 1.5);
      const std::string end = send ? "\nSend error ! -[0-9]+\n" : "\nOpen file error !\n";
      EXPECT_TRUE(std::regex_search(out, std::regex(end + ".*\nu[.]dat: stopped at tick .*\n$")))
          << out;
      EXPECT_EQ(cli.err.find("MIDISend err"), cli.err.rfind("MIDISend err")) << cli.err;  // once
    } else if (completed) {
      EXPECT_EQ(status, out.ends_with(" time(s)\n") ? 5 : 0) << out << cli.err;
      rec->WaitForCount(before + sent.size(), seconds(1));
    } else {
      // Interrupted before the program could catch signals, it prints nothing and sends nothing.
      EXPECT_EQ(status, 128 + signo) << out << cli.err;
      EXPECT_TRUE(cli.out.empty() ? rec->Count() == before
                                  : out.find("\nUpdating was canceled by user!!\n") != out.npos)
          << out;
    }
    std::this_thread::sleep_for(milliseconds(20));
    const auto msgs = rec->Messages();
    const size_t got = msgs.size() - before;
    ASSERT_LE(got, sent.size());
    EXPECT_TRUE(completed ? got == sent.size() : !fault || got < sent.size());
    for (size_t i = 0; i < got; ++i) ASSERT_EQ(msgs[before + i].bytes, sent[i]);
    std::this_thread::sleep_for(milliseconds(fault ? 200 : 30));
    EXPECT_EQ(rec->Count(), msgs.size());  // nothing comes later
    if (round > 0) continue;
    // 30 gaps of 24 ticks on the device's clock: a loaded machine's late ticks may play faster.
    const double span = (msgs.back().frame - msgs[2].frame) / 44100.0;
    EXPECT_LE(span, 1.1 * PacedSeconds(30 * 24, 480));
    EXPECT_GE(span, 0.95 * 30 * 24 / 960.0);
    EXPECT_LE(took, 1.1 * PacedSeconds(31 * 24, 480) + 0.5);  // start-up adds a little
    EXPECT_EQ(rec->Overflows(), 0u);
  }
}

// A System Exclusive file: each message whole, in order, the gap asked after the cycle that took
// the one before, in the recorder's callback times (a loaded jackd's catch-up squeezes frame time).
TEST(PlayFixture, ASystemExclusiveFileLeavesAMessageAtATimeWithTheGapAsked) {
  RecordingClient rec("syx", "in");
  std::vector<Bytes> messages;
  Bytes file;
  for (uint8_t i = 0; i < 12; ++i) {
    messages.push_back(Cat({{0xF0}, Bytes(i % 4 ? 7 * i : 3000, i), {0xF7}}));
    file = Cat({file, messages.back()});
  }
  const TempDir dir;
  const CliProcess cli(
      {"play", dir.Put("m.dat", file), "--gap", "60", "--port", rec.FullPortName()}, true);
  EXPECT_EQ(cli.status, 0) << cli.out << cli.err;
  EXPECT_NE(cli.out.find("Gap between messages: 60 ms\nStart\n"), std::string::npos) << cli.out;
  ASSERT_TRUE(rec.WaitForCount(messages.size(), seconds(1)));
  const auto got = rec.Messages();
  ASSERT_EQ(got.size(), messages.size());
  const double rate = jack_get_sample_rate(rec.client());
  const double cycle_ms = jack_get_buffer_size(rec.client()) * 1e3 / rate;
  std::vector<double> gaps;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].bytes, messages[i]) << i;
    if (i > 0) gaps.push_back(double(got[i].usecs - got[i - 1].usecs) / 1e3);
  }
  std::sort(gaps.begin(), gaps.end());
  EXPECT_GE(gaps.front(), 60 - cycle_ms);
  EXPECT_LE(gaps[gaps.size() / 2], 60 + 4 * cycle_ms + 2.9);
}

TEST(PlayFixture, ListWatchFollowsDestinationsUntilInterrupted) {
  auto first = std::make_unique<RecordingClient>("first", "in");
  CliProcess cli({"list", "--watch"});
  EXPECT_TRUE(cli.Shows("0: first:in\n"));
  RecordingClient second("second", "in");
  EXPECT_TRUE(cli.Shows("added 1: second:in\n"));
  first.reset();
  EXPECT_TRUE(cli.Shows("removed 0: first:in\n"));
  kill(cli.pid, SIGINT);
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_EQ(cli.out, "0: first:in\nadded 1: second:in\nremoved 0: first:in\n");
}

// identify and play --verify on a device of each kind of answer, also one that restarts under
// another name; each verified run's receipt against what the device received.
TEST(Verify, TheDeviceSaysWhoItIsAndTheReceiptTellsWhatItReceived) {
  using A = RecordingClient::Answer;
  const std::string first =
      "dev:input: non-commercial (7D), family 0x0012, model 0x00B4, software revision 1.0.0.0, "
      "device ID 0x10\n";
  const TempDir dir;
  std::vector<Bytes> sent;
  const std::string file = dir.Put("u.dat", Update(6, 0, sent));
  const struct {
    A answer;
    std::vector<std::string> args;  // identify's words, or "play" and a verified run's wait
    int status;
    std::string out;       // stdout holds it (stderr for a failure)
    bool restart = false;  // the device comes back as "dev2" once the update has completed
  } cases[] = {
      {A::kAnswer, {"identify"}, 0, first},
      {A::kLate, {"identify", "--json"}, 0, "\"requests\": 1, \"waited_seconds\": 1."},
      {A::kNever, {"identify", "--json"}, 6, "\"answered\": false}\n"},
      {A::kOff, {"identify"}, 2, "no MIDI port of 'dev:input' to hear its answer from"},
      {A::kAnswer, {"play", "5"}, 0, first + "2 opening messages went to dev:input.\nStart\n"},
      {A::kNever, {"play", "3"}, 6, "dev:input: no answer within 2 s\n2 opening"},
      {A::kAnswer, {"play", "8"}, 0, "\nSoftware revision: 1.0.0.0 \u2192 1.0.1.0\n", true},
  };
  std::vector<std::string> labels;
  std::map<std::string, std::string> receipts;  // as tests/data/receipts.txt, what varies aside
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RecordingClient dev("dev", "input", c.answer);
    ASSERT_TRUE(dev.ok());
    const bool play = c.args[0] == "play";
    const std::string receipt = dir.path + "receipt" + std::to_string(&c - cases);
    std::vector<std::string> args = c.args;  // identify's options, or play's wait
    args.insert(args.begin() + 1, {"--port", "dev:input"});
    if (play) args.insert(args.end() - 1, {"--receipt", receipt, "--verify", "--verify-wait"});
    if (play) args.push_back(file);
    const auto t0 = steady_clock::now();
    CliProcess cli(args);
    if (c.restart) {
      ASSERT_TRUE(cli.Shows("Updating is completed !!\n"));
      ASSERT_TRUE(dev.Restart("dev2"));
    }
    EXPECT_EQ(cli.Wait(), c.status) << cli.out << cli.err;
    const double took = duration<double>(steady_clock::now() - t0).count();
    EXPECT_NE((c.status == 2 ? cli.err : cli.out).find(c.out), std::string::npos)
        << cli.out << cli.err;
    std::this_thread::sleep_for(milliseconds(50));
    // What the device received: Identity Requests and the file's messages, nothing else.
    std::vector<Bytes> got;
    for (const auto& m : dev.Messages()) got.push_back(m.bytes);
    const size_t requests = std::erase(got, Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    if (!play) {
      EXPECT_TRUE(got.empty());
      EXPECT_EQ(requests, c.status == 2 ? 0u : 1u);
      // An answer 1.5 s late is waited for; none is waited for 2 s, not longer.
      EXPECT_TRUE(took < 3.0 && took > (c.answer == A::kLate ? 1.5 : 0.0)) << took;
      continue;
    }
    EXPECT_EQ(got, sent);
    EXPECT_GE(requests, 2u);  // before, and after until it answered
    const std::string json = ReadFile(receipt);
    EXPECT_LT(json.substr(json.find("\"started\": ") + 11, 26),
              json.substr(json.find("\"ended\": ") + 9, 26));
    const std::regex varies(
        R"re(("(program|path|requests|waited_seconds|started|ended)": )[^,\n]+)re");
    const std::string label = "--verify-wait " + c.args[1] + (c.restart ? ", restarted" : "");
    receipts[labels.emplace_back(label)] = std::regex_replace(json, varies, "$1*");
  }
  ExpectGolden("receipts.txt", labels, [&](const std::string& label) { return receipts[label]; });
}

}  // namespace
}  // namespace midiflash::testing
