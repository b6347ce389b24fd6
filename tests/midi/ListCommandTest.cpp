// `list --json` with names that need escaping, and with no destination; the plain form on the
// test server is checked with the destinations in JackOutputTest.
#include <gtest/gtest.h>

#include <sstream>

#include "ListCommand.h"
#include "MidiPort.h"

namespace midiflash::testing {
namespace {

// Serves a fixed list of names; the command sends nothing.
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

std::string List(std::vector<std::string> names, bool json) {
  NamedPorts ports(std::move(names));
  std::ostringstream out;
  EXPECT_EQ(RunListCommand(ports, json, out), 0);
  return out.str();
}

TEST(ListCommandTest, JsonEscapesNamesKeepsUtf8AndAnEmptyListPrintsNothing) {
  EXPECT_EQ(List({"a \"quoted\" \\ name", "line\nbreak\ttab\x01", "Gerät:ü"}, true),
            "[{\"index\":0,\"name\":\"a \\\"quoted\\\" \\\\ name\"},"
            "{\"index\":1,\"name\":\"line\\u000abreak\\u0009tab\\u0001\"},"
            "{\"index\":2,\"name\":\"Gerät:ü\"}]\n");
  EXPECT_EQ(List({"x"}, false), "0: x\n");
  EXPECT_EQ(List({}, true), "[]\n");
  EXPECT_EQ(List({}, false), "");
}

}  // namespace
}  // namespace midiflash::testing
