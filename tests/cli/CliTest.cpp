// The real midiflash-cli on generated files and a private JACK server; its list, port matching and
// terminal view on fakes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "CliPortMatch.h"
#include "CliView.h"
#include "CoreFakes.h"
#include "JackServerEnvironment.h"
#include "ListCommand.h"
#include "Pacing.h"
#include "PlayCommand.h"
#include "RecordingClient.h"
#include "Version.h"

namespace midiflash::testing {
namespace {

using namespace std::chrono;

// midiflash-cli as a child process, its stdout and stderr captured in memory files.
class CliProcess {
 public:
  // Starts midiflash-cli with `args`; with `finish`, waits here for it to exit.
  explicit CliProcess(std::vector<std::string> args, bool finish = false) {
    args.insert(args.begin(), MIDIFLASH_CLI_PATH);
    std::vector<char*> argv;  // made before fork: the child only redirects and execs
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
      dup2(fds_[0], STDOUT_FILENO);
      dup2(fds_[1], STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (finish) Wait();
  }
  ~CliProcess() {
    if (status < 0) kill(pid_, SIGKILL), Wait();
    close(fds_[0]);
    close(fds_[1]);
  }
  CliProcess(const CliProcess&) = delete;

  void Signal(int signo) { kill(pid_, signo); }
  // Whether stdout holds `text`, waiting up to 5 s for it.
  bool Shows(const std::string& text) const {
    return Eventually([&] { return ReadAll(fds_[0]).find(text) != std::string::npos; }, seconds(5));
  }
  // Waits for the exit; the status is 128 + the signal's number when a signal ended it.
  int Wait() {
    int s = 0;
    waitpid(pid_, &s, 0);
    out = ReadAll(fds_[0]);
    err = ReadAll(fds_[1]);
    return status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
  }

  int status = -1;
  std::string out, err;

 private:
  // Opened anew, so that reading leaves alone the file offset the child writes at.
  static std::string ReadAll(int fd) {
    std::ifstream in("/proc/self/fd/" + std::to_string(fd));
    return {std::istreambuf_iterator<char>(in), {}};
  }
  pid_t pid_ = -1;
  const int fds_[2] = {memfd_create("stdout", 0), memfd_create("stderr", 0)};
};

// A file in /tmp holding `bytes`, removed with this object.
struct TempFile {
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    close(mkstemps(path.data(), 4));
    std::ofstream(path).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string path = "/tmp/midiflash-test-XXXXXX.dat";
};

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) ++n;
  return n;
}

// `list` on fakes: names that need escaping, no destination, change reports, port matching.
std::string List(std::vector<std::string> names, bool json) {
  FakeMidi ports;
  ports.names = std::move(names);
  std::ostringstream out, err;
  EXPECT_EQ(RunListCommand(ports, json, out, err), 0);
  EXPECT_TRUE(ports.opened.empty() && ports.sent.empty() && err.str().empty());
  return out.str();
}

TEST(ListCommandTest, NamesAreEscapedPassThroughPortsMarkedAndJsonKeepsUtf8) {
  EXPECT_EQ(
      List({"a \"quoted\" \\ name", "line\nbreak\ttab\x01", "Gerät:ü"}, true),
      "[{\"index\":0,\"id\":\"a \\\"quoted\\\" \\\\ name\",\"name\":\"a \\\"quoted\\\" "
      "\\\\ name\",\"client\":\"a \\\"quoted\\\" \\\\ name\",\"port\":\"\",\"pass_through\":"
      "false},{\"index\":1,\"id\":\"line\\u000abreak\\u0009tab\\u0001\",\"name\":\"line\\u000a"
      "break\\u0009tab\\u0001\",\"client\":\"line\\u000abreak\\u0009tab\\u0001\",\"port\":\"\","
      "\"pass_through\":false},{\"index\":2,\"id\":\"Gerät:ü\",\"name\":\"Gerät:ü\",\"client"
      "\":\"Gerät:ü\",\"port\":\"\",\"pass_through\":false}]\n");
  EXPECT_EQ(List({"thru", "x\n\x1b[2J"}, false), "0: thru (pass-through)\n1: x\\n\\x1b[2J\n");
  EXPECT_EQ(DestinationLine(3, {"20:0", "Synth:in", "Synth", "in", false}), "3: 20:0 Synth:in");
  EXPECT_EQ(List({}, true), "[]\n");
  EXPECT_EQ(List({}, false), "");
}

TEST(ListCommandTest, ChangesAreToldByIdentityAndPortsMatchByNameIdentityOrUniquePrefix) {
  using L = std::vector<MidiDestination>;
  const L before = {
      {"20:0", "Synth:in", "Synth", "in"},
      {"21:0", "Pad:in", "Pad", "in"},
      {"21:1", "Pad:out", "Pad", "out"},
      {"24:0", "Virtual Raw MIDI 0-0:VirMIDI 0-0", "Virtual Raw MIDI 0-0", "VirMIDI 0-0"}};
  EXPECT_EQ(DescribeChanges(before, before), std::vector<std::string>{});
  // A device in front of the others, one gone, one renamed under the same identity.
  EXPECT_EQ(DescribeChanges(before, {{"19:0", "New:in", "", ""},
                                     {"20:0", "Synth:in", "", ""},
                                     {"21:1", "Pads", "", ""}}),
            (std::vector<std::string>{"removed 1: 21:0 Pad:in",
                                      "removed 3: 24:0 Virtual Raw MIDI 0-0:VirMIDI 0-0",
                                      "added 0: 19:0 New:in", "renamed 2: 21:1 Pads"}));

  for (const auto& [text, index, error_part] :
       std::vector<std::tuple<std::string, int, std::string>>{
           {"1", 1, ""},
           {"4", -1, "no MIDI destination at index 4"},
           {"99999999999", -1, "index"},
           {"Pad:out", 2, ""},
           {"20:0", 0, ""},
           {"Virtual Raw MIDI 0-0:0", 3, ""},
           {"VirMIDI 0-0", 3, ""},
           {"Synth", 0, ""},
           {"Syn", 0, ""},
           {"Pad", -1, "'Pad' names several MIDI destinations: 'Pad:in', 'Pad:out'"},
           {"in", -1, "'in' names several MIDI destinations: 'Synth:in', 'Pad:in'"},
           {"nothing", -1, "no MIDI destination matches 'nothing'"},
           {"", -1, "an empty --port names no MIDI destination"}}) {
    const PortMatch m = MatchPort(before, text);
    EXPECT_EQ(m.index, index) << text;
    EXPECT_NE(m.error.find(error_part), std::string::npos) << text << ": " << m.error;
  }
}

const Bytes kGmOn{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};

// Every file of the corpus through check, check --json and dump (files up to 4 KiB), each output
// with its exit status, against the golden tests/data/golden.txt; every JSON report must parse.
// MIDIFLASH_GOLDEN_WRITE=1 writes the golden file anew from the program: review its diff.
TEST(Golden, CheckAndDumpOfEveryCorpusFile) {
  const std::string data = std::string(MIDIFLASH_SOURCE_DIR) + "/tests/data/";
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(data)) {
    const std::string ext = e.path().extension();
    if (ext == ".dat" || ext == ".syx") names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  std::string all, json;
  for (const std::string& name : names) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"check"}, {"check", "--json"}, {"dump"}}) {
      if (args[0] == "dump" && std::filesystem::file_size(data + name) > 4096) continue;
      all += "==== " + args.back() + " " + name + "\n";
      args.push_back(data + name);
      const CliProcess cli(args, true);
      std::string out = cli.out + cli.err;
      for (size_t at; (at = out.find(data)) != std::string::npos;) out.erase(at, data.size());
      all += out + "exit " + std::to_string(cli.status) + "\n";
      if (args[1] == "--json") json += cli.out;
    }
  }
  if (std::getenv("MIDIFLASH_GOLDEN_WRITE")) std::ofstream(data + "golden.txt") << all;
  std::ifstream in(data + "golden.txt");
  const std::string golden{std::istreambuf_iterator<char>(in), {}};
  size_t line = 1, at = 0;
  for (; at < std::min(all.size(), golden.size()) && all[at] == golden[at]; ++at)
    line += all[at] == '\n';
  EXPECT_EQ(at, std::max(all.size(), golden.size()))
      << "golden.txt differs at line " << line << ": " << all.substr(all.rfind('\n', at) + 1, 200);
  const TempFile reports(Bytes(json.begin(), json.end()));
  EXPECT_EQ(
      std::system(("python3 -c 'import json,sys\nfor l in open(sys.argv[1]): json.loads(l)' " +
                   reports.path)
                      .c_str()),
      0);
}

// Help, version, and for every mistake its message and exit status. The private JACK server holds
// two destinations whose names begin alike.
TEST(CliConventions, EveryMistakeHasItsMessageAndExitStatus) {
  RecordingClient device("device", "in"), other("device2", "in");
  TrackBuilder big;
  const TempFile f(Smf(0, 96, {TrackBuilder().EndOfTrack()})), refused(Header(2, 1, 480)),
      large(Smf(0, 96, {big.SysEx(3, Bytes(40000, 1)).EndOfTrack()})), syx(Cat({kGmOn, kGmOn})),
      large_syx(Cat({kGmOn, {0xF0}, Bytes(40000, 1), {0xF7}}));
  const std::string dat = f.path,
                    check = "usage: midiflash-cli check [--json] [-p PORT] [--gap MS] FILE\n",
                    play =
                        "usage: midiflash-cli play [-p PORT] [--gap MS] [--verify [--verify-wait";
  const std::string too_large =
      "a message is larger than the MIDI destination carries: track 0, "
      "tick 3, 40,001 bytes; device:in carries at most 32,720 bytes";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string text;  // stdout starts with it on success, stdout or stderr holds it on failure
  } cases[] = {
      {{"--help"}, 0, "usage: midiflash-cli [-v] COMMAND"},
      {{"help", "play"}, 0, play},
      {{"help", "frob"}, 0, "usage: midiflash-cli [-v] COMMAND"},  // an unknown topic: the overview
      {{"check", "--help"}, 0, check + "\n"},
      {{"dump", "x.dat", "-h"}, 0, "usage: midiflash-cli dump FILE\n\n"},
      {{"-V"}, 0, std::string("midiflash-cli ") + kVersion + "\n"},
      {{"-l"}, 0, "0: device:in\n1: device2:in\n"},
      {{"--frobnicate"},
       2,
       "midiflash-cli: unknown option '--frobnicate'\nTry 'midiflash-cli --help'."},
      {{"check", "x.dat", "--jsn"}, 2, "midiflash-cli check: unknown option '--jsn'\n"},
      {{"list", "--watchh"}, 2, "midiflash-cli list: unknown option '--watchh'\n"},
      {{"play", "x.dat", "--prot", "1"}, 2, "midiflash-cli play: unknown option '--prot'\n"},
      {{"chek", "x.dat"}, 2, "midiflash-cli: unknown command 'chek'\n"},
      {{"check", dat, dat}, 2, "midiflash-cli check: one FILE is needed\n"},
      {{"play", dat, "--port"}, 2, "midiflash-cli play: option '--port' needs a value\n"},
      {{"check", "/no.dat"}, 2, "Open file error ! /no.dat: No such file or directory\n"},
      {{"dump", "/tmp"}, 2, "Open file error ! /tmp: Is a directory\n"},
      {{"play", "--", "-x.dat"}, 2, "Open file error ! -x.dat: No such file or directory\n"},
      {{"dump", refused.path}, 1, "result: 3 (refused: "},
      {{"play", refused.path}, 1, "Cant play this SMF ! " + refused.path + ": format 2 or higher"},
      // Without --port only a single destination that is not a pass-through port will do.
      {{"play", dat}, 2, "several MIDI destinations, choose one with --port: 'device:in', "},
      {{"play", dat, "--port="}, 2, "an empty --port names no MIDI destination"},
      {{"play", dat, "-p", "dev"}, 2, "'dev' names several MIDI destinations"},
      {{"play", dat, "--port=2"}, 2, "no MIDI destination at index 2"},
      {{"play", large.path, "-pdevice"}, 1, "Cant play this SMF !\n" + too_large},
      {{"check", large.path, "--port", "device"}, 1, "result: 29 (refused: " + too_large},
      {{"play", large_syx.path, "-pdevice"},
       1,
       "Cant play this SMF !\na message is larger than the MIDI destination carries: message 2 at "
       "byte offset 6, 40,002 bytes; device:in carries at most 32,720 bytes"},
      {{"play", dat, "--gap", "1e3"},
       2,
       "midiflash-cli play: option '--gap' takes a whole number from 0 to 60000, not '1e3'\n"},
      {{"check", syx.path, "--gap=60001"}, 2, "from 0 to 60000, not '60001'\n"},
      {{"play", dat, "--gap", "50"}, 2, "play: --gap applies to System Exclusive files only; "},
      {{"check", syx.path, "--gap=60000"},
       0,
       "file: " + syx.path +
           "\nkind: System Exclusive file\nresult: 0 (playable)\nmessages: 2, the largest 6 bytes "
           "(message 1, at byte offset 0)\ncable: 12 bytes to send, each message whole, the next "
           "one 60000 ms after it has left\nan update run takes about 60.0 s on a 31250-baud "
           "cable\n"},
  };
  for (const auto& c : cases) {
    const CliProcess cli(c.args, true);
    EXPECT_EQ(cli.status, c.status) << ::testing::PrintToString(c.args);
    EXPECT_TRUE(c.status == 0 ? cli.out.starts_with(c.text)
                              : (cli.out + cli.err).find(c.text) != std::string::npos)
        << ::testing::PrintToString(c.args) << cli.out << cli.err;
    // The log stays in syslog unless asked for; the window's words are not the command line's.
    EXPECT_EQ(cli.err.find("midiflash: "), std::string::npos) << cli.err;
  }
}

// Two System Exclusive messages at tick 0, then `n` messages 24 ticks apart at division 480 (every
// third a System Exclusive of 101 bytes, the others notes) and the end of the track `end_gap`
// ticks later; `sent` receives the messages as the device must receive them.
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

// On a terminal: progress redrawn in place, again as the run ends, then the end on a line alone;
// no window guidance.
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
  EXPECT_EQ(PlayExitStatus(wf.result()), 5);
  RunResult canceled;
  canceled.outcome = RunOutcome::kCanceled;
  EXPECT_EQ(PlayExitStatus(canceled), 130);
  EXPECT_TRUE(out.str().starts_with("2 opening messages went to A.\nStart\n")) << out.str();
  EXPECT_NE(out.str().find("\r[    0m 00s] [ 00000096 / 00001440 ticks] [##."), std::string::npos);
  EXPECT_GT(out.str().rfind('\r'), out.str().find('\r')) << out.str();
  EXPECT_TRUE(
      out.str().ends_with("\nUpdating is completed !!\nWarning: delivery may be incomplete: "
                          "the MIDI service may have lost messages 2 time(s)\n"))
      << out.str();
}

// Round 0 plays the whole file; rounds 1 to 50 (10 on other kinds of server) send SIGINT or SIGTERM
// at random moments or within a cycle of the last message arriving, racing the run's end; the last
// rounds bring a fault that ends the run at once: a destination or server that goes ("Send error !
// N", at most one log line, exit 3), a file deleted, grown or cut short ("Open file error !", exit
// 4). What arrived is the file's messages from the first, in order, nothing comes later, the status
// follows the end line.
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
    const Bytes file = fault ? Update(300, 24, sent) : Update(31, 0, sent);  // 10 s or 1 s
    const TempFile f(file);
    auto t0 = steady_clock::now();
    CliProcess cli({"play", "--verbose", f.path, "--port", rec->FullPortName()});
    const int signo = round % 2 ? SIGTERM : SIGINT;
    if (fault) {
      ASSERT_TRUE(rec->WaitForCount(before + 10, seconds(10)));
      t0 = steady_clock::now();
      ASSERT_TRUE(fault != kKillServer || own->Kill());
      if (fault == kUnplug) rec->Close();
      if (fault == kDelete) unlink(f.path.c_str());
      if (fault == kGrow) std::ofstream(f.path, std::ios::app) << "more";
      ASSERT_TRUE(fault != kTruncate || truncate(f.path.c_str(), off_t(file.size() / 2)) == 0);
    } else if (round % 4 >= 2) {
      rec->WaitForCount(before + sent.size(), seconds(5));
      std::this_thread::sleep_for(microseconds(std::rand() % 4000));
    } else if (round > 0) {
      std::this_thread::sleep_for(milliseconds(std::rand() % 1200));
    }
    if (round > 0 && !fault) cli.Signal(signo);
    const int status = cli.Wait();
    // While the server still removes the client that a signal killed a round earlier, it may
    // refuse a new one, or its port: the program then says so and sends nothing. That round is
    // played again.
    const bool refused = (status == 2 && Count(cli.err, "MIDIClientCreate err")) ||
                         (status == 3 && Count(cli.err, "MIDIOutputPortCreate err"));
    if (!fault && refused && retries++ < 2) {
      EXPECT_EQ(rec->Count(), before);
      --round;
      continue;
    }
    const double took = duration<double>(steady_clock::now() - t0).count();
    // A JACK server without real-time rights may run a cycle late on a loaded machine: the run
    // then says that delivery may be incomplete (exit 5), and the bytes received tell whether.
    const std::string out = "\n" + cli.out;
    // On PipeWire a line after it says that losses could not be seen.
    const bool completed = out.ends_with("\nUpdating is completed !!\n") ||
                           out.ends_with(" time(s)\n") ||
                           out.ends_with("!!\n" + UnverifiedText() + "\n");
    ASSERT_TRUE(completed || round > 0) << out << cli.err;
    if (fault) {
      const bool send = fault == kUnplug || fault == kKillServer;
      EXPECT_EQ(status, send ? 3 : 4) << out << cli.err;
      EXPECT_LT(took, 1.5);
      // The status line, what it means, and where the run stopped.
      std::istringstream lines(out);
      std::vector<std::string> l;
      for (std::string line; std::getline(lines, line);) l.push_back(line);
      ASSERT_GE(l.size(), 3u) << out;
      EXPECT_TRUE(send ? l.end()[-3].starts_with("Send error ! ")
                       : l.end()[-3] == "Open file error !")
          << out;
      EXPECT_EQ(l.back().find(f.path.substr(5) + ": stopped at tick "), 0u) << out;
      EXPECT_LE(Count(cli.err, "MIDISend err = "), 1u) << cli.err;
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
    // 30 gaps of 24 ticks on the device's clock: a late timer tick advances more whole ticks and
    // drops less, so a loaded machine plays faster, but never faster than the file at 120 bpm.
    const double span = (msgs.back().frame - msgs[2].frame) / 44100.0;
    EXPECT_LE(span, 1.1 * PacedSeconds(30 * 24, 480));
    EXPECT_GE(span, 0.95 * 30 * 24 / 960.0);
    EXPECT_LE(took, 1.1 * PacedSeconds(31 * 24, 480) + 0.5);  // start-up adds a little
    EXPECT_EQ(rec->Overflows(), 0u);
  }
}

// A System Exclusive file on JACK: every message whole and in order, none before Start, each the
// gap asked for after the cycle that took the previous one (the recorder's frame times, in whole
// cycles of 128 frames), never less but for a cycle's jitter of the JACK clock.
TEST(PlayFixture, ASystemExclusiveFileLeavesAMessageAtATimeWithTheGapAsked) {
  RecordingClient rec("syx", "in");
  std::vector<Bytes> messages;
  Bytes file;
  for (uint8_t i = 0; i < 12; ++i) {
    messages.push_back(Cat({{0xF0}, Bytes(i % 4 ? 7 * i : 3000, i), {0xF7}}));
    file = Cat({file, messages.back()});
  }
  const TempFile f(file);
  const CliProcess cli({"play", f.path, "--gap", "60", "--port", rec.FullPortName()}, true);
  EXPECT_EQ(cli.status, 0) << cli.out << cli.err;
  EXPECT_NE(cli.out.find("Gap between messages: 60 ms\nStart\n"), std::string::npos) << cli.out;
  ASSERT_TRUE(rec.WaitForCount(messages.size(), seconds(1)));
  const auto got = rec.Messages();
  ASSERT_EQ(got.size(), messages.size());
  // A message has left once a cycle has taken it (and, for the delivery accounting, two more
  // have started): the gap counts from there, so it may be up to a few cycles longer than asked.
  const double rate = jack_get_sample_rate(rec.client());
  const double cycle_ms = jack_get_buffer_size(rec.client()) * 1e3 / rate;
  std::vector<double> gaps;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].bytes, messages[i]) << i;
    if (i > 0) gaps.push_back((got[i].frame - got[i - 1].frame) * 1e3 / rate);
  }
  std::sort(gaps.begin(), gaps.end());
  std::printf("JACK, gap asked 60 ms: measured min %.1f, median %.1f, max %.1f ms\n", gaps.front(),
              gaps[gaps.size() / 2], gaps.back());
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
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(), 0);
  EXPECT_EQ(cli.out, "0: first:in\nadded 1: second:in\nremoved 0: first:in\n");
}

// The members of a receipt, one a line as it is written, by name; values as JSON text.
std::map<std::string, std::string> Members(const std::string& json) {
  std::map<std::string, std::string> members;
  std::istringstream lines(json);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find("\": ");
    if (!line.starts_with("  \"") || colon == std::string::npos) continue;
    std::string value = line.substr(colon + 3);
    if (value.ends_with(",")) value.pop_back();
    members[line.substr(3, colon - 3)] = value;
  }
  return members;
}

// identify and play --verify on a device of each kind of answer: who it says it is before and
// after the update, which device it is after a restart under another port name, what it never
// says; and each verified run's receipt against what the device received.
TEST(Verify, TheDeviceSaysWhoItIsAndTheReceiptTellsWhatItReceived) {
  using A = RecordingClient::Answer;
  const std::string who = "non-commercial (7D), family 0x0012, model 0x00B4, software revision ";
  std::vector<Bytes> sent;
  const TempFile file(Update(6, 0, sent));
  const Bytes request{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  const struct {
    A answer;
    std::vector<std::string> args;  // before the destination; "FILE": the update file
    int status;
    std::string out;       // stdout holds it (stderr for a failure)
    bool restart = false;  // the device comes back as "dev2" once the update has completed
  } cases[] = {
      {A::kAnswer, {"identify"}, 0, "dev:input: " + who + "1.0.0.0, device ID 0x10\n"},
      {A::kLate, {"identify", "--json"}, 0, "\"requests\": 1, \"waited_seconds\": 1."},
      {A::kGarbage, {"identify"}, 6, "\ndev:input: no answer within 2 s\n"},
      {A::kNever, {"identify", "--json"}, 6, "\"answered\": false}\n"},
      {A::kOff, {"identify"}, 2, "no MIDI port of 'dev:input' to hear its answer from"},
      {A::kAnswer,
       {"play", "--verify", "--verify-wait", "5", "FILE"},
       0,
       "dev:input: " + who +
           "1.0.0.0, device ID 0x10\n2 opening messages went to dev:input.\n"
           "Start\n"},
      {A::kNever,
       {"play", "--verify", "--verify-wait", "3", "FILE"},
       6,
       "dev:input: no answer within 2 s\n2 opening"},
      {A::kAnswer,
       {"play", "--verify", "--verify-wait", "8", "FILE"},
       0,
       "dev2:input: " + who +
           "1.0.1.0, device ID 0x10\nSoftware revision: 1.0.0.0 \u2192 1.0.1.0\n",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RecordingClient dev("dev", "input", c.answer);
    ASSERT_TRUE(dev.ok());
    char receipt_path[] = "/tmp/midiflash-receipt-XXXXXX";
    close(mkstemp(receipt_path));
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(a == "FILE" ? file.path : a);
    args.insert(args.begin() + 1, {"--port", "dev:input"});
    if (args[0] == "play") args.insert(args.begin() + 1, {"--receipt", receipt_path});
    const auto t0 = steady_clock::now();
    CliProcess cli(args);
    if (c.restart) {
      ASSERT_TRUE(cli.Shows("Updating is completed !!\n"));
      ASSERT_TRUE(dev.Restart("dev2"));
    }
    EXPECT_EQ(cli.Wait(), c.status) << cli.out << cli.err;
    EXPECT_NE((c.status == 2 ? cli.err : cli.out).find(c.out), std::string::npos)
        << cli.out << cli.err;
    std::this_thread::sleep_for(milliseconds(50));
    // What the device received: Identity Requests and the file's messages, nothing else.
    std::vector<Bytes> got;
    size_t requests = 0;
    for (const auto& m : dev.Messages()) {
      if (m.bytes == request) {
        ++requests;
      } else {
        got.push_back(m.bytes);
      }
    }
    if (args[0] == "identify") {
      EXPECT_TRUE(got.empty());
      EXPECT_EQ(requests, c.status == 2 ? 0u : 1u);
      // An answer 1.5 s late is waited for; none is waited for 2 s, not longer.
      const double took = duration<double>(steady_clock::now() - t0).count();
      EXPECT_TRUE(took < 3.0 && took > (c.answer == A::kLate ? 1.5 : 0.0)) << took;
      unlink(receipt_path);
      continue;
    }
    EXPECT_EQ(got, sent);
    EXPECT_GE(requests, 2u);  // before, and after until it answered
    std::ifstream in(receipt_path);
    const auto r = Members({std::istreambuf_iterator<char>(in), {}});
    unlink(receipt_path);
    uint64_t bytes = 0;
    for (const Bytes& m : got) bytes += m.size();
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"messages_sent", std::to_string(got.size())},
             {"messages_delivered", std::to_string(got.size())},
             {"bytes_sent", std::to_string(bytes)},
             {"bytes_delivered", std::to_string(bytes)},
             {"bytes_total", std::to_string(bytes)},
             {"ticks_played", "144"},
             {"ticks_total", "144"},
             {"outcome", "\"Updating is completed !!\""},
             {"exit_status", std::to_string(c.status)},
             {"destination", "{\"id\": \"dev:input\", \"name\": \"dev:input\"}"}}) {
      EXPECT_EQ(r.count(key) ? r.at(key) : "missing", value) << key;
    }
    EXPECT_NE(r.at("identity_before")
                  .find(c.status ? "\"answered\": false" : "\"software_revision\": \"1.0.0.0\""),
              std::string::npos)
        << r.at("identity_before");
    EXPECT_NE(r.at("identity_after")
                  .find(c.status ? "\"answered\": false" : "\"software_revision\": \"1.0.1.0\""),
              std::string::npos)
        << r.at("identity_after");
    // Every request the device got is counted in one of the two.
    size_t counted = 0;
    for (const char* key : {"identity_before", "identity_after"}) {
      const std::string& v = r.at(key);
      if (v != "null") counted += std::stoul(v.substr(v.find("\"requests\": ") + 12));
    }
    EXPECT_EQ(counted, requests);
    EXPECT_LT(r.at("started"), r.at("ended"));
  }
}

}  // namespace
}  // namespace midiflash::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("MIDIFLASH_MIDI_API", "jack", 1);  // every test here meets the private JACK server
  ::testing::AddGlobalTestEnvironment(new midiflash::testing::JackServerEnvironment);
  return RUN_ALL_TESTS();
}
