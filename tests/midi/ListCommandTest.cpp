// `list` in both forms, with names that need escaping and with no destination; change reports
// and port matching.
#include <gtest/gtest.h>

#include <sstream>

#include "CliPortMatch.h"
#include "CoreFakes.h"
#include "ListCommand.h"

namespace midiflash::testing {
namespace {

std::string List(std::vector<std::string> names, bool json) {
  FakeMidi ports;
  ports.names = std::move(names);
  std::ostringstream out;
  EXPECT_EQ(RunListCommand(ports, json, out), 0);
  EXPECT_TRUE(ports.opened.empty() && ports.sent.empty());
  return out.str();
}

TEST(ListCommandTest, JsonEscapesNamesKeepsUtf8AndAnEmptyListPrintsNothing) {
  EXPECT_EQ(List({"a \"quoted\" \\ name", "line\nbreak\ttab\x01", "Gerät:ü"}, true),
            "[{\"index\":0,\"name\":\"a \\\"quoted\\\" \\\\ name\"},"
            "{\"index\":1,\"name\":\"line\\u000abreak\\u0009tab\\u0001\"},"
            "{\"index\":2,\"name\":\"Gerät:ü\"}]\n");
  EXPECT_EQ(List({"x", "y"}, false), "0: x\n1: y\n");
  EXPECT_EQ(List({}, true), "[]\n");
  EXPECT_EQ(List({}, false), "");
}

TEST(ListCommandTest, ChangesAreToldByIdentityAndPortsMatchByNameIdentityOrUniquePrefix) {
  using L = std::vector<MidiDestination>;
  const L before = {{"20:0", "Synth:in"}, {"21:0", "Pad:in"}, {"22:0", "Pad:out"}};
  EXPECT_EQ(DescribeChanges(before, before), std::vector<std::string>{});
  // A device in front of the others, one gone, one renamed under the same identity.
  EXPECT_EQ(DescribeChanges(before, {{"19:0", "New:in"}, {"20:0", "Synth:in"}, {"22:0", "Pads"}}),
            (std::vector<std::string>{"removed 1: Pad:in", "added 0: New:in", "renamed 2: Pads"}));

  for (const auto& [text, index, error_part] :
       std::vector<std::tuple<std::string, int, std::string>>{
           {"1", 1, ""},
           {"3", -1, "no MIDI destination at index 3"},
           {"99999999999", -1, "index"},
           {"Pad:out", 2, ""},
           {"20:0", 0, ""},
           {"Syn", 0, ""},
           {"Pad", -1, "'Pad:in', 'Pad:out'"},
           {"in", -1, "no MIDI destination matches 'in'"},
           {"", -1, "several"}}) {
    const PortMatch m = MatchPort(before, text);
    EXPECT_EQ(m.index, index) << text;
    EXPECT_NE(m.error.find(error_part), std::string::npos) << text << ": " << m.error;
  }
}

}  // namespace
}  // namespace midiflash::testing
