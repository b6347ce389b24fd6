// The real midiflash-cli on generated files: what `check` and `dump` report, and the usual
// conventions (help, version, usage and open errors with their exit statuses).
#include <gtest/gtest.h>

#include <cstdio>

#include "CliProcess.h"
#include "RecordingClient.h"
#include "SmfBuilder.h"
#include "Version.h"

namespace midiflash::testing {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) ++n;
  return n;
}

TEST(CheckCommand, ReportsInPlainTextAndJson) {
  TrackBuilder meta, data, over, rate, split, zero, dense, dense20, a, b, stray, ticks, open, sysex;
  meta.Meta(0, 0x51, {0x07, 0xA1, 0x20}).EndOfTrack();
  data.SysEx(0, {0x43, 0x10, 0xF7}).Event(480, {0x90, 0x3C, 0x64}).Event(0, {0x3C, 0}).EndOfTrack();
  // A System Exclusive message of 157 bytes on the cable, then a note 50 ms later.
  over.SysEx(48, Cat({Bytes(155, 0x11), {0xF7}})).Event(48, {0x90, 0x3C, 0x64}).EndOfTrack();
  const Bytes block = Cat({Bytes(1098, 1), {0xF7}});  // 3300 bytes within a second, none overruns
  rate.SysEx(0, block).SysEx(400, block).SysEx(400, block).EndOfTrack();
  split.SysEx(0, {0x43, 0x10}).Escape(1, {0x4C, 0xF7}).SysEx(96, {0x41}).Escape(1, {0xF7});
  zero.Event(0, {0x90, 0x3C, 0x64}).EndOfTrack(10);
  // 25 or 21 blocks of 257 bytes 48 ticks apart: each but the last overruns the next one, and
  // the plain report names up to 20 of them.
  for (int i = 0; i < 25; ++i) dense.SysEx(48, Cat({Bytes(255, 0x11), {0xF7}}));
  for (int i = 0; i < 21; ++i) dense20.SysEx(48, Cat({Bytes(255, 0x11), {0xF7}}));
  // Refused files: track 1's chunk starts at byte offset 30 and its events at 38.
  a.Event(0, {0x90, 0x3C, 0x64}).EndOfTrack(96);
  b.EndOfTrack();
  stray.Event(0, {0x3C, 0x40}).EndOfTrack();
  for (int i = 0; i < 17; ++i) ticks.Event(0x0FFFFFFF, {0xC0, 0x00});
  open.Event(0, {0x90, 0x3C, 0x64});
  const Bytes cut = Smf(1, 96, {a, sysex.SysEx(0, Bytes(20, 0x11)).EndOfTrack()});
  const struct {
    Bytes file;
    int result;
    const char* plain;  // the report holds this and `plain_warnings` warning lines
    size_t plain_warnings;
    const char* json;  // --json holds this and `json_warnings` warnings
    size_t json_warnings;
  } cases[] = {
      {Smf(1, 480, {meta, data}), 0,
       "track 0: 11 bytes declared, 0 ticks\ntrack 1: 18 bytes declared, 480 ticks\nlength: 480 "
       "ticks\nplaying time at 120 bpm: 0.500 s\nan update run takes about 0.7 s (each 2.90 ms "
       "tick advances whole ticks)\ncable: 10 bytes to send; busiest second 10 bytes, from tick 0 "
       "(a 31250-baud cable carries 3125 bytes a second)\n",
       0,
       "\"format\":1,\"tracks\":2,\"division\":480,\"track_sizes\":[11,18],\"track_ticks\":[0,480]"
       ",\"total_ticks\":480,\"seconds\":0.500,\"run_seconds\":0.697,\"cable\":{\"bytes\":10,\"bu"
       "siest_second_bytes\":10,\"busiest_second_tick\":0,\"limit_bytes_per_second\":3125}",
       0},
      {Smf(0, 480, {over}), 0, "warning: track 0, tick 48: System Exclusive of 157 bytes takes", 1,
       "{\"type\":\"sysex_overrun\",\"track\":0,\"tick\":48,\"bytes\":157,\"wire_ms\":50.240,"
       "\"next_track\":0,\"next_tick\":96,\"gap_ms\":50.000,",
       1},
      {Smf(0, 480, {rate}), 0, "warning: the busiest second, from tick 0 (0.000 s), sends 3300", 1,
       "{\"type\":\"data_rate\",\"tick\":0,\"bytes\":3300,\"limit\":3125,", 1},
      {Smf(0, 96, {split.EndOfTrack()}), 0, "warning: 2 System Exclusive messages are split", 1,
       "{\"type\":\"sysex_split\",\"count\":2,\"track\":0,\"tick\":0,", 1},
      {Smf(0, 0, {zero}), 0,
       "never ends (a division of 0 never advances)\ncable: 3 bytes to send\nwarning: with a "
       "division of 0 playback never gets past tick 0",
       1, "\"seconds\":null,\"run_seconds\":null,\"cable\":{\"bytes\":3},", 1},
      {Smf(0, 480, {dense.EndOfTrack(48)}), 0,
       "warning: 4 more System Exclusive messages overrun the cable (--json lists them all)\n", 22,
       "{\"type\":\"data_rate\",\"tick\":48,\"bytes\":5140,", 25},
      {Smf(0, 480, {dense20.EndOfTrack(48)}), 0, "", 21, "", 21},
      // Refusals say what and where; the tracks before the one refused are listed.
      {Cat({Header(1, 2, 96), a.Chunk(), {'J', 'U', 'N', 'K'}, b.Chunk()}), 17,
       ": the chunk of track 1 was expected at byte offset 30, which holds 4A 55 4E 4B)\n", 0,
       "\"failed_track\":1,\"failed_offset\":30,\"track_sizes\":[8],\"track_ticks\":[96],", 0},
      {Cat({Header(0, 1, 96, 7), a.Chunk()}), 1, " (header length 7))\n", 0,
       "\"format\":null,\"tracks\":null,\"division\":null,\"failed_track\":null,\"failed_offset\":"
       "4,"
       "\"track_sizes\":[],",
       0},
      {Bytes(cut.begin(), cut.end() - 10), 20,
       ": track 1, reading stopped at byte offset 41 of a 55-byte file)\n", 0,
       "\"failed_track\":1,\"failed_offset\":41,\"track_sizes\":[8],", 0},
      {Smf(1, 96, {a, stray}), 24, ": track 1, byte 3C at byte offset 39)\n", 0,
       "\"failed_track\":1,\"failed_offset\":39,\"track_sizes\":[8],", 0},
      {Smf(1, 96, {a, ticks}), 26, ": track 1, the event at byte offset 134)\n", 0,
       "\"failed_track\":1,\"failed_offset\":134,\"track_sizes\":[8],", 0},
      {Smf(1, 0xE728, {a}), 27, " (division E728 at byte offset 12))\n", 0,
       "\"failed_track\":null,\"failed_offset\":12,\"track_sizes\":[],", 0},
      {Smf(0, 96, {open}), 21, ": track 0 runs to the end of the 26-byte file)\n", 0,
       "\"failed_track\":0,\"failed_offset\":26,\"track_sizes\":[],", 0},
      {Cat({Header(1, 2, 96), open.Chunk(), b.Chunk(), b.Chunk()}), 21,
       ": track 0, whose events run on past its chunk into the next track chunk at byte offset "
       "26)\n",
       0, "\"failed_track\":0,\"failed_offset\":26,\"track_sizes\":[],", 0},
  };
  for (const auto& c : cases) {
    const TempFile f(c.file);
    const CliProcess plain({"check", f.path}, true), json({"check", "--json", f.path}, true),
        dump({"dump", f.path}, true);
    const std::string result = std::to_string(c.result);
    EXPECT_EQ(plain.status, c.result == 0 ? 0 : 1) << result;
    EXPECT_EQ(json.status, plain.status);
    EXPECT_EQ(dump.status, plain.status);
    EXPECT_NE(plain.out.find("\nresult: " + result + (c.result ? " (refused: " : " (playable)\n")),
              std::string::npos);
    EXPECT_NE(plain.out.find(c.plain), std::string::npos) << plain.out;
    EXPECT_EQ(Count(plain.out, "warning:"), c.plain_warnings) << plain.out;
    EXPECT_NE(
        json.out.find("\"result\":" + result + ",\"playable\":" + (c.result ? "false" : "true")),
        std::string::npos);
    EXPECT_NE(json.out.find(c.json), std::string::npos) << json.out;
    EXPECT_EQ(Count(json.out, "{\"type\":"), c.json_warnings) << json.out;
    FILE* parser = popen("/usr/bin/python3 -c 'import json,sys; json.load(sys.stdin)'", "w");
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(fwrite(json.out.data(), 1, json.out.size(), parser), json.out.size());
    EXPECT_EQ(pclose(parser), 0) << json.out;
    EXPECT_TRUE(c.result == 0 || dump.out.starts_with("result: " + result + " (refused: "));
  }
  // The demo file shipped with the program fits the cable.
  const CliProcess demo({"check", MIDIFLASH_SOURCE_DIR "/examples/demo.dat"}, true);
  EXPECT_EQ(demo.status, 0);
  EXPECT_EQ(Count(demo.out, "warning"), 0u) << demo.out;
}

TEST(DumpCommand, EveryEventAsItIsSent) {
  TrackBuilder a, b;
  a.Meta(0, 0x51, {0x07, 0xA1, 0x20}).Meta(0, 0x01, {'T', 0x7F}).Meta(0, 0x0F, {'x'}).EndOfTrack();
  b.SysEx(0, {0x7D, 0x01, 0xF7}).Escape(5, {0x43, 0x12}).Event(5, {0x92, 0x3C, 0x64});
  b.Event(0x80, {0x3C, 0x00}).Event(1, {0xC1, 0x05}).EndOfTrack(2);
  const TempFile f(Smf(1, 96, {a, b}));
  const CliProcess dump({"dump", f.path}, true);
  EXPECT_EQ(dump.status, 0);
  EXPECT_EQ(dump.out,
            " 0          0  meta set-tempo           type 51, 3 bytes: 07 A1 20  (not sent)\n"
            " 0          0  meta text                type 01, 2 bytes: 54 7F \"T.\"  (not sent)\n"
            " 0          0  meta unknown             type 0F, 1 bytes: 78 \"x\"  (not sent)\n"
            " 0          0  meta end-of-track        type 2F, 0 bytes:  (not sent)\n"
            " 1          0  sysex                    F0 7D 01 F7\n"
            " 1          5  escape                   F0 43 12\n"
            " 1         10  note-on                  92 3C 64\n"
            " 1        138  note-on                  92 3C 00  (running status)\n"
            " 1        139  program-change           C1 05\n"
            " 1        141  meta end-of-track        type 2F, 0 bytes:  (not sent)\n");
}

// Help, version, and for every mistake its message and exit status. The private JACK server holds
// two destinations whose names begin alike.
TEST(CliConventions, EveryMistakeHasItsMessageAndExitStatus) {
  RecordingClient device("device", "in"), other("device2", "in");
  const TempFile f(Smf(0, 96, {TrackBuilder().EndOfTrack()})), refused(Header(2, 1, 480));
  const std::string version = std::string("midiflash-cli ") + kVersion + "\n", dat = f.path;
  const std::string check = "usage: midiflash-cli check FILE [--json]\n",
                    dump = "usage: midiflash-cli dump FILE\n",
                    play = "usage: midiflash-cli play FILE [--port INDEX|NAME|PREFIX]\n",
                    open = "Open file error !", fifo = dat + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string text;  // stdout starts with it on success, stdout or stderr holds it on failure
  } cases[] = {
      {{"--help"}, 0, "usage: midiflash-cli COMMAND"},
      {{"-h"}, 0, "usage: midiflash-cli COMMAND"},
      {{"help", "play"}, 0, play},
      {{"help", "frob"}, 0, "usage: midiflash-cli COMMAND"},
      {{"check", "--help"}, 0, check + "\n"},
      {{"dump", "x.dat", "-h"}, 0, dump + "\n"},
      // Help comes before the MIDI service is opened, so it answers on a machine without one.
      {{"list", "--help"}, 0, "usage: midiflash-cli list [--json | --watch]\n\n"},
      {{"play", "x.dat", "--port", "0", "--help"}, 0, play},
      {{"--version"}, 0, version},
      {{"-V"}, 0, version},
      {{"--frobnicate"}, 2, "midiflash-cli: unknown option '--frobnicate'\n"},
      {{"check", "x.dat", "--jsn"}, 2, "midiflash-cli check: unknown option '--jsn'\n"},
      {{"dump", "-x"}, 2, "midiflash-cli dump: unknown option '-x'\n"},
      {{"list", "--watchh"}, 2, "midiflash-cli list: unknown option '--watchh'\n"},
      {{"play", "x.dat", "--prot", "1"}, 2, "midiflash-cli play: unknown option '--prot'\n"},
      {{"chek", "x.dat"}, 2, "midiflash-cli: unknown command 'chek'\n"},
      {{}, 2, check},
      {{"check", "--json"}, 2, check},
      {{"check", dat, dat}, 2, check},
      {{"dump", dat, dat}, 2, dump},
      {{"play"}, 2, play},
      {{"play", dat, "--port"}, 2, play},
      {{"check", "/nonexistent.dat"}, 2, open + " /nonexistent.dat: the file cannot be opened\n"},
      {{"dump", "/nonexistent.dat"}, 2, open + " /nonexistent.dat: the file cannot be opened\n"},
      {{"play", refused.path}, 1, "Cant play this SMF !\n"},
      // Anything but a regular file is answered at once; a FIFO with no writer must not hang.
      {{"play", "/nonexistent/x.dat"}, 2, open},
      {{"play", fifo}, 2, open},
      {{"play", "/dev/zero"}, 2, open},
      {{"play", "/tmp"}, 2, open},
      {{"play", dat, "--port", "nothing"}, 2, "no MIDI destination matches 'nothing'"},
      {{"play", dat, "--port", "dev"}, 2, "'dev' is the start of several MIDI destinations"},
      {{"play", dat, "--port", "2"}, 2, "no MIDI destination at index 2"},
      {{"play", refused.path, "--port", "device2"}, 1, "Cant play this SMF !\n"},  // one match
  };
  for (const auto& c : cases) {
    const CliProcess cli(c.args, true);
    EXPECT_EQ(cli.status, c.status) << ::testing::PrintToString(c.args);
    EXPECT_TRUE(c.status == 0 ? cli.out.starts_with(c.text)
                              : (cli.out + cli.err).find(c.text) != std::string::npos)
        << ::testing::PrintToString(c.args) << "\n"
        << cli.out << cli.err;
  }
  unlink(fifo.c_str());
  EXPECT_EQ(device.Count() + other.Count(), 0u);  // nothing was sent
}

}  // namespace
}  // namespace midiflash::testing
