// `check` and `dump` on generated files, through their functions and through the real binary.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "CheckCommand.h"
#include "DumpCommand.h"
#include "SmfBuilder.h"

namespace {

using namespace midiflash::testing;

std::string WriteFile(const std::string& name, const Bytes& b) {
  const std::string path = ::testing::TempDir() + "midiflash_cli_" + name + ".dat";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return path;
}

struct Outcome {
  int status;
  std::string out, err;
};
Outcome Run(decltype(RunCheckCommand)* command, const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = command(args, out, err);
  return {status, out.str(), err.str()};
}
const auto Check = [](const std::vector<std::string>& a) { return Run(RunCheckCommand, a); };
const auto Dump = [](const std::vector<std::string>& a) { return Run(RunDumpCommand, a); };

// The exit status and standard output of a shell command.
Outcome Shell(const std::string& command) {
  Outcome r{-1, "", ""};
  FILE* p = popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  if (p != nullptr) r.status = WEXITSTATUS(pclose(p));
  return r;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A SysEx going out as `wire` bytes at tick 0 and a note `gap` ticks later, at 480 a quarter.
Bytes SysExThenNote(uint32_t wire, uint32_t gap) {
  return Smf(0, 480,
             {TrackBuilder()
                  .SysEx(0, Cat({Bytes(wire - 2, 0x11), {0xF7}}))
                  .Event(gap, {0x90, 0x3C, 0x64})
                  .EndOfTrack()});
}

TEST(CheckCommand, PlayableFileInPlainTextAndJson) {
  TrackBuilder a, b;
  a.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  b.SysEx(0, {0x43, 0x10, 0xF7}).Event(480, {0x90, 0x3C, 0x64}).Event(0, {0x3C, 0x00}).EndOfTrack();
  const std::string path = WriteFile("two_tracks", Smf(1, 480, {a, b}));
  const Outcome plain = Check({path});
  EXPECT_EQ(plain.status, kCheckExitPlayable);
  EXPECT_EQ(plain.out, "file: " + path +
                           "\nresult: 0 (playable)\nformat: 1\ntracks: 2\n"
                           "division: 480 ticks per quarter note\n"
                           "track 0: 11 bytes declared, 0 ticks\n"
                           "track 1: 18 bytes declared, 480 ticks\nlength: 480 ticks\n"
                           "playing time at 120 bpm: 0.500 s\n"
                           "an update run takes about 0.7 s (each 2.90 ms tick advances whole "
                           "ticks)\ncable: 10 bytes to send; busiest second 10 bytes, from tick 0 "
                           "(a 31250-baud cable carries 3125 bytes a second)\n");
  const Outcome json = Check({"--json", path});
  EXPECT_EQ(json.out, "{\"file\":\"" + path +
                          "\",\"result\":0,\"playable\":true,\"reason\":\"playable\",\"format\":1,"
                          "\"tracks\":2,\"division\":480,\"track_sizes\":[11,18],\"track_ticks\":"
                          "[0,480],\"total_ticks\":480,\"seconds\":0.500,\"run_seconds\":0.697,"
                          "\"cable\":{\"bytes\":10,\"busiest_second_bytes\":10,\"busiest_second_"
                          "tick\":0,\"limit_bytes_per_second\":3125},\"warnings\":[]}\n");
}

TEST(CheckCommand, RefusalsSayWhatAndWhere) {
  // One file for each way of telling where: track 1's chunk at 30 and its events at 38.
  TrackBuilder a, b, stray, ticks, open, sysex;
  a.Event(0, {0x90, 0x3C, 0x64}).EndOfTrack(96);
  b.EndOfTrack();
  stray.Event(0, {0x3C, 0x40}).EndOfTrack();
  for (int i = 0; i < 17; ++i) ticks.Event(0x0FFFFFFF, {0xC0, 0x00});
  open.Event(0, {0x90, 0x3C, 0x64});
  sysex.SysEx(0, Bytes(20, 0x11)).EndOfTrack();
  const Bytes whole = Smf(1, 96, {a, sysex});
  const struct {
    Bytes file;
    int result, track, offset;
    const char* reason;
  } cases[] = {
      {Cat({Header(1, 2, 96), a.Chunk(), {'J', 'U', 'N', 'K'}, b.Chunk()}), 17, 1, 30,
       ": the chunk of track 1 was expected at byte offset 30, which holds 4A 55 4E 4B)"},
      {Cat({Header(0, 1, 96, 7), a.Chunk()}), 1, -1, 4, " (header length 7))"},
      {Bytes(whole.begin(), whole.end() - 10), 20, 1, 41,
       ": track 1, reading stopped at byte offset 41 of a 55-byte file)"},
      {Smf(1, 96, {a, stray}), 24, 1, 39, ": track 1, byte 3C at byte offset 39)"},
      {Smf(1, 96, {a, ticks}), 26, 1, 134, ": track 1, the event at byte offset 134)"},
      {Smf(1, 0xE728, {a}), 27, -1, 12, " (division E728 at byte offset 12))"},
      {Cat({Header(1, 2, 96), open.Chunk(), b.Chunk(), b.Chunk()}), 21, 0, 26,
       ": track 0, whose events run on past its chunk into the next track chunk at byte offset "
       "26)"},
  };
  for (const auto& c : cases) {
    const std::string path = WriteFile("refused", c.file);
    Outcome r = Check({path});
    EXPECT_EQ(r.status, kCheckExitRefused);
    EXPECT_EQ(r.out.find("\nresult: " + std::to_string(c.result) + " (refused: "), 6 + path.size())
        << r.out;
    EXPECT_NE(r.out.find(c.reason + std::string("\n")), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("length:"), std::string::npos);
    r = Check({path, "--json"});
    EXPECT_EQ(r.status, kCheckExitRefused);
    const std::string track = c.track < 0 ? "null" : std::to_string(c.track);
    EXPECT_NE(r.out.find("\"result\":" + std::to_string(c.result) + ",\"playable\":false,"),
              std::string::npos);
    EXPECT_NE(r.out.find("\"failed_track\":" + track +
                         ",\"failed_offset\":" + std::to_string(c.offset) + ","),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Dump({path}).out.rfind("result: " + std::to_string(c.result) + " (refused: ", 0), 0u);
  }
  // The tracks before the refusal are listed with their lengths, the refused one not.
  EXPECT_NE(Check({WriteFile("stray", Smf(1, 96, {a, stray})), "--json"})
                .out.find("\"track_sizes\":[8],\"track_ticks\":[96],\"total_ticks\":null"),
            std::string::npos);
}

TEST(CheckCommand, WarningsInPlainTextAndJson) {
  TrackBuilder rate, split, zero;  // 3300 bytes within one second, no block overrunning its gap
  const Bytes block = Cat({Bytes(1098, 1), {0xF7}});
  rate.SysEx(0, block).SysEx(400, block).SysEx(400, block);
  split.SysEx(0, {0x43, 0x10}).Escape(1, {0x4C, 0xF7}).SysEx(96, {0x41}).Escape(1, {0xF7});
  zero.Event(0, {0x90, 0x3C, 0x64}).EndOfTrack(10);
  const struct {
    const char* name;
    Bytes file;
    const char* plain;  // nullptr: no warning at all
    const char* json;
  } cases[] = {
      {"sysex_fits", SysExThenNote(156, 48), nullptr, "\"warnings\":[]"},
      {"sysex_over", SysExThenNote(157, 48),
       "warning: track 0, tick 0: System Exclusive of 157 bytes takes 50.24 ms on a 31250-baud "
       "cable, but the next message (track 0, tick 48) is due 50.00 ms later\n",
       "{\"type\":\"sysex_overrun\",\"track\":0,\"tick\":0,\"bytes\":157,\"wire_ms\":50.240,"
       "\"next_track\":0,\"next_tick\":48,\"gap_ms\":50.000,"},
      {"rate", Smf(0, 480, {rate.EndOfTrack()}),
       "warning: the busiest second, from tick 0 (0.000 s), sends 3300 bytes: more than the 3125 "
       "bytes a second a 31250-baud cable carries\n",
       "{\"type\":\"data_rate\",\"tick\":0,\"bytes\":3300,\"limit\":3125,"},
      {"split", Smf(0, 96, {split.EndOfTrack()}),
       "warning: 2 System Exclusive messages are split into packets (an F0 event without F7, the "
       "rest in F7 events), the first on track 0 at tick 0: every packet goes out with F0 in "
       "front, so the device receives separate messages\n",
       "{\"type\":\"sysex_split\",\"count\":2,\"track\":0,\"tick\":0,"},
      {"division_zero", Smf(0, 0, {zero}),
       "warning: with a division of 0 playback never gets past tick 0, so the update never "
       "completes\n",
       "\"seconds\":null,\"run_seconds\":null,\"cable\":{\"bytes\":3},"},
  };
  for (const auto& c : cases) {
    const std::string path = WriteFile(c.name, c.file);
    Outcome r = Check({path});
    EXPECT_EQ(r.status, kCheckExitPlayable);
    EXPECT_EQ(r.out.find(c.plain == nullptr ? "warning" : c.plain) != std::string::npos,
              c.plain != nullptr)
        << r.out;
    EXPECT_EQ(Count(r.out, "warning:"), c.plain == nullptr ? 0u : 1u) << r.out;
    r = Check({path, "--json"});
    EXPECT_NE(r.out.find(c.json), std::string::npos) << r.out;
  }

  // 25 blocks of 257 bytes 48 ticks apart: each but the last overruns the next; the plain report
  // names 20 of them, --json all 24.
  TrackBuilder dense;
  for (int i = 0; i < 25; ++i) dense.SysEx(48, Cat({Bytes(255, 0x11), {0xF7}}));
  const std::string path = WriteFile("dense_sysex", Smf(0, 480, {dense.EndOfTrack(48)}));
  Outcome r = Check({path});
  EXPECT_EQ(Count(r.out, "System Exclusive of 257"), 20u);
  EXPECT_NE(r.out.find("warning: 4 more System Exclusive messages overrun the cable"),
            std::string::npos);
  EXPECT_NE(r.out.find("sends 5140 bytes"), std::string::npos) << r.out;  // 20 blocks a second
  EXPECT_EQ(Count(Check({path, "--json"}).out, "\"sysex_overrun\""), 24u);
}

TEST(CheckCommand, UsageAndOpenErrors) {
  const std::string path = WriteFile("usage", SysExThenNote(10, 10));
  const std::string missing = ::testing::TempDir() + "no_such_file.dat";
  const std::string check = "usage: midiflash-cli check FILE [--json]",
                    dump = "usage: midiflash-cli dump FILE", open = "Open file error ! " + missing;
  for (const auto& [r, want] :
       std::vector<std::pair<Outcome, std::string>>{{Check({}), check},
                                                    {Check({"--json"}), check},
                                                    {Check({path, path}), check},
                                                    {Dump({}), dump},
                                                    {Dump({path, path}), dump},
                                                    {Check({missing}), open},
                                                    {Dump({missing}), open}}) {
    EXPECT_EQ(r.status, kCheckExitUnusable);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
  }
}

TEST(DumpCommand, EveryEventAsItIsSent) {
  TrackBuilder a, b;
  a.Meta(0, 0x51, {0x07, 0xA1, 0x20}).Meta(0, 0x03, {'T', 0x01}).EndOfTrack();
  b.SysEx(0, {0x7D, 0x01, 0xF7}).Escape(5, {0x43, 0x12}).Event(5, {0x92, 0x3C, 0x64});
  b.Event(0x80, {0x3C, 0x00}).Event(1, {0xC1, 0x05}).EndOfTrack(2);
  const Outcome r = Dump({WriteFile("dump", Smf(1, 96, {a, b}))});
  EXPECT_EQ(r.status, kCheckExitPlayable);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            " 0          0  meta set-tempo           type 51, 3 bytes: 07 A1 20  (not sent)\n"
            " 0          0  meta track-name          type 03, 2 bytes: 54 01 \"T.\"  (not sent)\n"
            " 0          0  meta end-of-track        type 2F, 0 bytes:  (not sent)\n"
            " 1          0  sysex                    F0 7D 01 F7\n"
            " 1          5  escape                   F0 43 12\n"
            " 1         10  note-on                  92 3C 64\n"
            " 1        138  note-on                  92 3C 00  (running status)\n"
            " 1        139  program-change           C1 05\n"
            " 1        141  meta end-of-track        type 2F, 0 bytes:  (not sent)\n");
}

TEST(CliBinary, CheckJsonIsValidAndTheDemoFitsTheCable) {
  const std::string cli = std::string("'") + MIDIFLASH_CLI_PATH + "' ";
  // Parsed by a real JSON parser, not only searched.
  const Outcome json =
      Shell(cli + "check --json '" + WriteFile("binary", SysExThenNote(157, 48)) +
            "' | /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); "
            "print(d[\"result\"], d[\"track_ticks\"], d[\"warnings\"][0][\"bytes\"])'");
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out, "0 [48] 157\n");
  const Outcome missing = Shell(cli + "check /nonexistent.dat 2>&1");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.out.find("Open file error !"), std::string::npos);
  const Outcome demo = Shell(cli + "check '" + MIDIFLASH_SOURCE_DIR + "/examples/demo.dat'");
  EXPECT_EQ(demo.status, 0) << demo.out;
  EXPECT_NE(demo.out.find("result: 0 (playable)"), std::string::npos) << demo.out;
  EXPECT_EQ(demo.out.find("warning"), std::string::npos) << demo.out;
}

}  // namespace
