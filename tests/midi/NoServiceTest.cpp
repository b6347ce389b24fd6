// MidiAPI where no MIDI service can be reached: it must stay usable and refuse every send.
#include <gtest/gtest.h>
#include <unistd.h>

#include "JackServerEnvironment.h"
#include "MidiAPI.h"
#include "MidiTestHelpers.h"

namespace midiflash::testing {
namespace {

TEST(NoServiceTest, WithoutJackOrAlsaThereIsNoClientAndForcedAlsaDoesNotFallBack) {
  if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has an ALSA sequencer";
  ASSERT_NE(JackServerEnvironment::server(), nullptr);
  // No JACK server by that name; then the shared one runs, but forced ALSA must not use it
  // (snd_seq_open reports the missing /dev/snd/seq as -ENOENT).
  struct Case {
    std::optional<std::string> api, server;
    std::string created;
  };
  for (const Case& c : {Case{std::nullopt, "midiflash-nobody-" + std::to_string(getpid()),
                             "MIDIClientCreate err = "},
                        Case{"alsa", std::nullopt, "MIDIClientCreate err = -2"}}) {
    SCOPED_TRACE(c.created);
    ScopedEnv apiEnv("MIDIFLASH_MIDI_API", c.api), serverEnv("JACK_DEFAULT_SERVER", c.server);
    LogLines log;
    MidiAPI midi;
    EXPECT_STREQ(midi.ServiceName(), "none");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind(c.created, 0), 0u) << log.lines()[0];
    EXPECT_EQ(midi.MidiOutDeviceNumber(), 0u);
    EXPECT_EQ(midi.MidiOutDeviceName(0), "(null)");
    midi.MidiOutDeviceOpen(0);
    midi.MidiOutDeviceOpen(-1);
    const uint8_t sysex[] = {0xF0, 0x43, 0x12};
    const int32_t longStatus = midi.SendLongMessage(sysex, sizeof sysex);
    const int32_t shortStatus = midi.SendShortMessage(0x90, 0x3C, 0x64);
    EXPECT_NE(longStatus, 0);
    EXPECT_NE(shortStatus, 0);
    EXPECT_EQ(log.Count("MIDISend err = ", true), 2u);
    EXPECT_GE(log.Count("MIDISend err = " + std::to_string(longStatus)), 1u);
    EXPECT_GE(log.Count("MIDISend err = " + std::to_string(shortStatus)), 1u);
  }
  // By default a running JACK server is chosen when there is no ALSA sequencer.
  ScopedEnv api("MIDIFLASH_MIDI_API", std::nullopt);
  LogLines log;
  MidiAPI midi;
  EXPECT_STREQ(midi.ServiceName(), "jack");
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace midiflash::testing
