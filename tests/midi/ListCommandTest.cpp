// `list` output, on the test server and with names that need escaping.
#include <gtest/gtest.h>

#include <sstream>

#include "ListCommand.h"
#include "MidiAPI.h"
#include "MidiTestHelpers.h"
#include "RecordingClient.h"

namespace midiflash::testing {
namespace {

// Serves a fixed list of names; sends are not used by the command.
class NamedPorts : public MidiPort {
 public:
  explicit NamedPorts(std::vector<std::string> names) : names_(std::move(names)) {}
  uint64_t MidiOutDeviceNumber() override { return names_.size(); }
  std::string MidiOutDeviceName(uint64_t i) override { return names_.at(i); }
  void MidiOutDeviceOpen(int64_t) override {}
  int32_t SendShortMessage(uint8_t, uint8_t, uint8_t) override { return -1; }
  int32_t SendLongMessage(const uint8_t*, uint64_t) override { return -1; }

 private:
  std::vector<std::string> names_;
};

TEST(ListCommandTest, ShowsTheRecordingClientOfTheTestServer) {
  ScopedEnv api("MIDIFLASH_MIDI_API", "jack");
  RecordingClient first("first"), second("second");
  ASSERT_TRUE(first.ok() && second.ok());
  MidiAPI midi;

  std::ostringstream text, json;
  EXPECT_EQ(RunListCommand(midi, false, text), 0);
  EXPECT_EQ(text.str(), "0: first:input\n1: second:input\n");
  EXPECT_EQ(RunListCommand(midi, true, json), 0);
  EXPECT_EQ(json.str(),
            "[{\"index\":0,\"name\":\"first:input\"},{\"index\":1,\"name\":\"second:input\"}]\n");
}

TEST(ListCommandTest, JsonEscapesNamesAndKeepsUtf8) {
  NamedPorts ports({"a \"quoted\" \\ name", "line\nbreak\ttab\x01", "Gerät:ü"});
  std::ostringstream out;
  EXPECT_EQ(RunListCommand(ports, true, out), 0);
  EXPECT_EQ(out.str(),
            "[{\"index\":0,\"name\":\"a \\\"quoted\\\" \\\\ name\"},"
            "{\"index\":1,\"name\":\"line\\nbreak\\ttab\\u0001\"},"
            "{\"index\":2,\"name\":\"Gerät:ü\"}]\n");
}

TEST(ListCommandTest, NoDestinationsGiveNoLinesOrAnEmptyArray) {
  NamedPorts none({});
  std::ostringstream text, json;
  EXPECT_EQ(RunListCommand(none, false, text), 0);
  EXPECT_EQ(RunListCommand(none, true, json), 0);
  EXPECT_EQ(text.str(), "");
  EXPECT_EQ(json.str(), "[]\n");
}

}  // namespace
}  // namespace midiflash::testing
