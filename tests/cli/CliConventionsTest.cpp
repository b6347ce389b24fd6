// The usual command-line conventions of midiflash-cli, through the real binary: help on stdout
// with status 0, the version, and usage errors that name the offending word with status 2.
#include <gtest/gtest.h>

#include "CliProcess.h"
#include "Version.h"

namespace {

using midiflash::testing::CliProcess;

struct Case {
  std::vector<std::string> args;
  int status;
  std::string out;  // stdout starts with this; an empty stdout when empty
  std::string err;  // stderr contains this; an empty stderr when empty
};

// A kernel without Landlock adds a log line about it to stderr; it has no part in these cases.
std::string WithoutSandboxNote(std::string err) {
  const std::string note = "midiflash: Landlock is not available";
  const size_t at = err.find(note);
  if (at != std::string::npos) err.erase(at, err.find('\n', at) + 1 - at);
  return err;
}

TEST(CliConventions, HelpVersionAndUnknownWords) {
  const std::string version = std::string("midiflash-cli ") + midiflash::kVersion + "\n";
  const Case cases[] = {
      {{"--help"}, 0, "usage: midiflash-cli COMMAND", ""},
      {{"-h"}, 0, "usage: midiflash-cli COMMAND", ""},
      {{"help", "play"}, 0, "usage: midiflash-cli play FILE", ""},
      {{"check", "--help"}, 0, "usage: midiflash-cli check FILE [--json]\n\n", ""},
      {{"dump", "x.dat", "-h"}, 0, "usage: midiflash-cli dump FILE\n\n", ""},
      // Help comes before the MIDI service is opened, so it answers on a machine without one.
      {{"list", "--help"}, 0, "usage: midiflash-cli list [--json | --watch]\n\n", ""},
      {{"play", "x.dat", "--port", "0", "--help"}, 0, "usage: midiflash-cli play FILE", ""},
      {{"--version"}, 0, version, ""},
      {{"-V"}, 0, version, ""},
      {{"--frobnicate"}, 2, "", "midiflash-cli: unknown option '--frobnicate'\n"},
      {{"check", "x.dat", "--jsn"}, 2, "", "midiflash-cli check: unknown option '--jsn'\n"},
      {{"dump", "-x"}, 2, "", "midiflash-cli dump: unknown option '-x'\n"},
      {{"list", "--watchh"}, 2, "", "midiflash-cli list: unknown option '--watchh'\n"},
      {{"play", "x.dat", "--prot", "1"}, 2, "", "midiflash-cli play: unknown option '--prot'\n"},
      {{"chek", "x.dat"}, 2, "", "midiflash-cli: unknown command 'chek'\n"},
      {{}, 2, "", "usage: midiflash-cli check FILE"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += " " + a;
    CliProcess cli(c.args);
    EXPECT_EQ(cli.Wait(), c.status) << line;
    if (c.out.empty()) {
      EXPECT_EQ(cli.out, "") << line;
    } else {
      EXPECT_EQ(cli.out.rfind(c.out, 0), 0u) << line << "\n" << cli.out;
    }
    if (c.err.empty()) {
      EXPECT_EQ(WithoutSandboxNote(cli.err), "") << line;
    } else {
      EXPECT_NE(cli.err.find(c.err), std::string::npos) << line << "\n" << cli.err;
    }
  }
}

}  // namespace
