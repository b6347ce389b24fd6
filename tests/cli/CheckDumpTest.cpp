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

using midiflash::testing::Be32;
using midiflash::testing::Bytes;
using midiflash::testing::Cat;
using midiflash::testing::Header;
using midiflash::testing::Smf;
using midiflash::testing::TrackBuilder;

std::string WriteFile(const std::string& name, const Bytes& b) {
  const std::string path = ::testing::TempDir() + "midiflash_cli_" + name + ".dat";
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return path;
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Check(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = RunCheckCommand(args, out, err);
  return {status, out.str(), err.str()};
}

Outcome Dump(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = RunDumpCommand(args, out, err);
  return {status, out.str(), err.str()};
}

// Runs a shell command and returns its exit status and standard output.
Outcome Shell(const std::string& command) {
  Outcome r{-1, "", ""};
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The two-track example: a tempo track, and a track with a SysEx at tick 0 and a note at 480.
Bytes TwoTracks() {
  TrackBuilder a, b;
  a.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  b.SysEx(0, {0x43, 0x10, 0xF7}).Event(480, {0x90, 0x3C, 0x64}).Event(0, {0x3C, 0x00}).EndOfTrack();
  return Smf(1, 480, {a, b});
}

// A SysEx going out as `wire` bytes at tick 0 and a note `gap` ticks later, at 480 a quarter.
Bytes SysExThenNote(uint32_t wire, uint32_t gap) {
  Bytes data(wire - 1, 0x11);
  data.back() = 0xF7;
  TrackBuilder t;
  t.SysEx(0, data).Event(gap, {0x90, 0x3C, 0x64}).EndOfTrack();
  return Smf(0, 480, {t});
}

TEST(CheckCommand, PlayableFileInPlainTextAndJson) {
  const std::string path = WriteFile("two_tracks", TwoTracks());
  const Outcome plain = Check({path});
  EXPECT_EQ(plain.status, kCheckExitPlayable);
  EXPECT_EQ(plain.err, "");
  for (const char* line :
       {"result: 0 (playable)\n", "format: 1\n", "tracks: 2\n",
        "division: 480 ticks per quarter note\n", "track 0: 11 bytes declared, 0 ticks\n",
        "track 1: 18 bytes declared, 480 ticks\n", "length: 480 ticks\n",
        "playing time at 120 bpm: 0.500 s\n",
        "cable: 10 bytes to send; busiest second 10 bytes, from tick 0"}) {
    EXPECT_NE(plain.out.find(line), std::string::npos) << line << "\n" << plain.out;
  }
  EXPECT_EQ(plain.out.find("warning"), std::string::npos);

  const Outcome json = Check({"--json", path});
  EXPECT_EQ(json.status, kCheckExitPlayable);
  for (const char* member :
       {"\"result\":0,", "\"reason\":\"playable\"", "\"format\":1,", "\"tracks\":2,",
        "\"division\":480,", "\"track_sizes\":[11,18]", "\"track_ticks\":[0,480]",
        "\"total_ticks\":480,", "\"seconds\":0.500,", "\"warnings\":[]}"}) {
    EXPECT_NE(json.out.find(member), std::string::npos) << member << "\n" << json.out;
  }
  EXPECT_EQ(json.out.back(), '\n');
  EXPECT_EQ(json.out.find('\n'), json.out.size() - 1);  // one object on one line
}

TEST(CheckCommand, RefusalsSayWhatAndWhere) {
  TrackBuilder a, b, stray, system, high, ticks, open;
  a.Event(0, {0x90, 0x3C, 0x64}).EndOfTrack(96);  // 8 bytes: track 1's chunk at 30, events at 38
  b.EndOfTrack();
  stray.Event(0, {0x3C, 0x40}).EndOfTrack();
  system.Event(0, {0xF2, 0x00, 0x00}).EndOfTrack();
  high.Event(0, {0x90, 0x3C, 0xCC}).EndOfTrack();
  for (int i = 0; i < 17; ++i) ticks.Event(0x0FFFFFFF, {0xC0, 0x00});
  open.Event(0, {0x90, 0x3C, 0x64});
  const Bytes junk = Cat({{'J', 'U', 'N', 'K'}, Be32(0)});
  TrackBuilder sysex;
  sysex.SysEx(0, Bytes(20, 0x11)).EndOfTrack();
  const Bytes whole = Smf(1, 96, {a, sysex});
  const struct {
    const char* name;
    Bytes file;
    int result;
    const char* reason;
    const char* json;  // failed_track and failed_offset
  } cases[] = {
      {"stray_chunk", Cat({Header(1, 2, 96), a.Chunk(), junk, b.Chunk()}), 17,
       "the chunk of track 1 was expected at byte offset 30, which holds 4A 55 4E 4B",
       "\"failed_track\":1,\"failed_offset\":30,"},
      {"header_7", Cat({Header(0, 1, 96, 7), a.Chunk()}), 1, "(header length 7)",
       "\"format\":null,\"tracks\":null"},
      {"cut", Bytes(whole.begin(), whole.end() - 10), 20,
       "track 1, reading stopped at byte offset 41 of a 55-byte file", "\"failed_offset\":41,"},
      {"stray_data", Smf(1, 96, {a, stray}), 24, "to apply: track 1, byte 3C at byte offset 39",
       "\"failed_track\":1,\"failed_offset\":39,"},
      {"system", Smf(1, 96, {a, system}), 23,
       "F0, F7 and FF stands inside a track: track 1, byte F2", "\"failed_offset\":39,"},
      {"high", Smf(1, 96, {a, high}), 25, "0x80 or more: track 1, byte CC at byte offset 41",
       "\"failed_offset\":41,"},
      {"ticks", Smf(1, 96, {a, ticks}), 26, "2^32 - 1 ticks: track 1, the event at byte offset 134",
       "\"failed_offset\":134,"},
      {"smpte", Smf(1, 0xE728, {a}), 27, "(division E728 at byte offset 12)",
       "\"division\":59176,\"failed_track\":null,\"failed_offset\":12,"},
      {"no_eot", Cat({Header(1, 2, 96), open.Chunk(), b.Chunk(), b.Chunk()}), 21,
       "track 0, whose events run on past its chunk into the next track chunk at byte offset 26",
       "\"failed_track\":0,\"failed_offset\":26,"},
  };
  for (const auto& c : cases) {
    const std::string path = WriteFile(c.name, c.file);
    Outcome r = Check({path});
    EXPECT_EQ(r.status, kCheckExitRefused);
    EXPECT_EQ(r.out.find("result: " + std::to_string(c.result) + " (refused: "),
              6 + path.size() + 1)
        << r.out;
    EXPECT_NE(r.out.find(c.reason), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("length:"), std::string::npos);
    r = Check({path, "--json"});
    EXPECT_NE(r.out.find("\"result\":" + std::to_string(c.result) + ","), std::string::npos);
    EXPECT_NE(r.out.find(c.json), std::string::npos) << c.json << "\n" << r.out;
    EXPECT_NE(r.out.find("\"playable\":false"), std::string::npos);
  }
  // The tracks before the refusal are listed with their lengths, the refused one not.
  const Outcome r = Check({WriteFile("high", Smf(1, 96, {a, high})), "--json"});
  EXPECT_NE(r.out.find("\"track_sizes\":[8],\"track_ticks\":[96],\"total_ticks\":null"),
            std::string::npos)
      << r.out;
}

TEST(CheckCommand, UsageAndOpenErrors) {
  const std::string path = WriteFile("usage", TwoTracks());
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"--json"}, {path, path}}) {
    const Outcome r = Check(args);
    EXPECT_EQ(r.status, kCheckExitUnusable);
    EXPECT_NE(r.err.find("usage: midiflash-cli check FILE [--json]"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  for (const std::string& missing :
       {::testing::TempDir() + "no_such_file.dat", ::testing::TempDir()}) {
    const Outcome r = Check({missing});
    EXPECT_EQ(r.status, kCheckExitUnusable) << missing;
    EXPECT_EQ(r.err.rfind("Open file error ! " + missing, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(Dump({}).status, kCheckExitUnusable);
  EXPECT_EQ(Dump({path, path}).status, kCheckExitUnusable);
  const Outcome r = Dump({::testing::TempDir() + "no_such_file.dat"});
  EXPECT_EQ(r.status, kCheckExitUnusable);
  EXPECT_NE(r.err.find("Open file error !"), std::string::npos);
}

TEST(CheckCommand, SysExOverrunWarningAtItsBoundary) {
  // 48 ticks are 50 ms; 156 bytes take 49.92 ms, 157 bytes 50.24 ms.
  Outcome r = Check({WriteFile("sysex_fits", SysExThenNote(156, 48))});
  EXPECT_EQ(r.status, kCheckExitPlayable);
  EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;

  const std::string over = WriteFile("sysex_over", SysExThenNote(157, 48));
  r = Check({over});
  EXPECT_EQ(r.status, kCheckExitPlayable);
  EXPECT_NE(r.out.find("warning: track 0, tick 0: System Exclusive of 157 bytes takes 50.24 ms on "
                       "a 31250-baud cable, but the next message (track 0, tick 48) is due 50.00 "
                       "ms later\n"),
            std::string::npos)
      << r.out;
  r = Check({over, "--json"});
  EXPECT_NE(r.out.find("{\"type\":\"sysex_overrun\",\"track\":0,\"tick\":0,\"bytes\":157,"
                       "\"wire_ms\":50.240,\"next_track\":0,\"next_tick\":48,\"gap_ms\":50.000,"),
            std::string::npos)
      << r.out;
}

TEST(CheckCommand, SplitSystemExclusiveIsPlayableWithAWarning) {
  TrackBuilder t;
  t.SysEx(0, {0x43, 0x10}).Escape(1, {0x4C, 0xF7}).SysEx(96, {0x41}).Escape(1, {0xF7});
  const std::string path = WriteFile("split", Smf(0, 96, {t.EndOfTrack()}));
  Outcome r = Check({path});
  EXPECT_EQ(r.status, kCheckExitPlayable);
  EXPECT_NE(r.out.find("warning: 2 System Exclusive messages are split into packets (an F0 event "
                       "without F7, the rest in F7 events), the first on track 0 at tick 0: every "
                       "packet goes out with F0 in front, so the device receives separate "
                       "messages\n"),
            std::string::npos)
      << r.out;
  r = Check({path, "--json"});
  EXPECT_NE(r.out.find("{\"type\":\"sysex_split\",\"count\":2,\"track\":0,\"tick\":0,"),
            std::string::npos)
      << r.out;
  const Outcome d = Dump({path});
  EXPECT_NE(d.out.find("escape                   F0 4C F7\n"), std::string::npos) << d.out;
}

TEST(CheckCommand, DataRateWarningAndTheCapOnOverrunLines) {
  // Three 1100-byte blocks 400 ticks (417 ms) apart: none overruns its gap, but 3300 bytes fall
  // in one second.
  TrackBuilder rate;
  rate.SysEx(0, Bytes(1099, 1)).SysEx(400, Bytes(1099, 2)).SysEx(400, Bytes(1099, 3)).EndOfTrack();
  Outcome r = Check({WriteFile("rate", Smf(0, 480, {rate}))});
  EXPECT_EQ(r.out.find("System Exclusive of"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("warning: the busiest second, from tick 0 (0.000 s), sends 3300 bytes: more "
                       "than the 3125 bytes a second a 31250-baud cable carries\n"),
            std::string::npos)
      << r.out;

  // 25 blocks of 257 bytes 48 ticks apart: each but the last overruns the next, and the plain
  // report names 20 of them.
  TrackBuilder dense;
  for (int i = 0; i < 25; ++i) dense.SysEx(48, Bytes(256, 0x11));
  dense.EndOfTrack(48);
  const std::string path = WriteFile("dense_sysex", Smf(0, 480, {dense}));
  r = Check({path});
  size_t lines = 0;
  for (size_t at = r.out.find("System Exclusive of 257"); at != std::string::npos;
       at = r.out.find("System Exclusive of 257", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 20u);
  EXPECT_NE(r.out.find("warning: 4 more System Exclusive messages overrun the cable"),
            std::string::npos);
  EXPECT_NE(r.out.find("sends 5140 bytes"), std::string::npos) << r.out;  // 20 blocks a second
  r = Check({path, "--json"});
  size_t objects = 0;
  for (size_t at = r.out.find("\"sysex_overrun\""); at != std::string::npos;
       at = r.out.find("\"sysex_overrun\"", at + 1)) {
    ++objects;
  }
  EXPECT_EQ(objects, 24u);
}

TEST(CheckCommand, DivisionZeroNeverAdvances) {
  TrackBuilder t;
  t.Event(0, {0x90, 0x3C, 0x64}).EndOfTrack(10);
  const std::string path = WriteFile("division_zero", Smf(0, 0, {t}));
  Outcome r = Check({path});
  EXPECT_EQ(r.status, kCheckExitPlayable);
  EXPECT_NE(r.out.find("playing time at 120 bpm: never ends"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("warning: with a division of 0 playback never gets past tick 0"),
            std::string::npos);
  r = Check({path, "--json"});
  EXPECT_NE(r.out.find("\"seconds\":null"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"cable\":{\"bytes\":3}"), std::string::npos) << r.out;
}

TEST(DumpCommand, EveryEventAsItIsSent) {
  TrackBuilder a, b;
  a.Meta(0, 0x51, {0x07, 0xA1, 0x20}).Meta(0, 0x03, {'T', 0x01}).EndOfTrack();
  b.SysEx(0, {0x7D, 0x01, 0xF7})
      .Escape(5, {0x43, 0x12})
      .Event(5, {0x92, 0x3C, 0x64})
      .Event(0x80, {0x3C, 0x00})
      .Event(1, {0xC1, 0x05})
      .EndOfTrack(2);
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

TEST(DumpCommand, RefusedFileGivesTheCheckResult) {
  const Bytes whole = TwoTracks();
  const Outcome r = Dump({WriteFile("dump_cut", Bytes(whole.begin(), whole.end() - 4))});
  EXPECT_EQ(r.status, kCheckExitRefused);
  EXPECT_EQ(r.out.rfind("result: 21 (refused: ", 0), 0u) << r.out;
}

TEST(CliBinary, CheckJsonIsValidAndTheDemoFitsTheCable) {
  const std::string path = WriteFile("binary", SysExThenNote(157, 48));
  // Parsed by a real JSON parser, not only searched.
  const Outcome json =
      Shell(std::string("'") + MIDIFLASH_CLI_PATH + "' check --json '" + path +
            "' | /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); "
            "print(d[\"result\"], d[\"track_ticks\"], d[\"warnings\"][0][\"bytes\"])'");
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out, "0 [48] 157\n");

  const Outcome missing =
      Shell(std::string("'") + MIDIFLASH_CLI_PATH + "' check /nonexistent.dat 2>&1");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.out.find("Open file error !"), std::string::npos);

  const Outcome demo = Shell(std::string("'") + MIDIFLASH_CLI_PATH + "' check '" +
                             MIDIFLASH_SOURCE_DIR + "/examples/demo.dat'");
  EXPECT_EQ(demo.status, 0) << demo.out;
  EXPECT_NE(demo.out.find("result: 0 (playable)"), std::string::npos) << demo.out;
  EXPECT_EQ(demo.out.find("warning"), std::string::npos) << demo.out;
}

}  // namespace
