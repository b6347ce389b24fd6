// MidiAPI where no MIDI service can be reached: it must stay usable and refuse every send.
#include <gtest/gtest.h>
#include <unistd.h>

#include "JackServerEnvironment.h"
#include "MidiAPI.h"
#include "MidiTestHelpers.h"

namespace midiflash::testing {
namespace {

bool HasAlsaSequencer() {
  return access("/dev/snd/seq", F_OK) == 0;
}

// Everything a caller can do with a MidiAPI that has no client; nothing may crash.
void ExpectNoOutput(MidiAPI& midi, const LogLines& log) {
  EXPECT_EQ(midi.MidiOutDeviceNumber(), 0u);
  EXPECT_EQ(midi.MidiOutDeviceName(0), "(null)");
  midi.MidiOutDeviceOpen(0);
  midi.MidiOutDeviceOpen(-1);
  const uint8_t sysex[] = {0xF0, 0x43, 0x12};
  const int32_t long_status = midi.SendLongMessage(sysex, sizeof sysex);
  const int32_t short_status = midi.SendShortMessage(0x90, 0x3C, 0x64);
  EXPECT_NE(long_status, 0);
  EXPECT_NE(short_status, 0);
  EXPECT_EQ(log.CountStartingWith("MIDISend err = "), 2u);
  EXPECT_GE(log.CountOf("MIDISend err = " + std::to_string(long_status)), 1u);
  EXPECT_GE(log.CountOf("MIDISend err = " + std::to_string(short_status)), 1u);
}

TEST(NoServiceTest, WithoutJackServerOrAlsaThereIsNoClientAndSendsFail) {
  if (HasAlsaSequencer()) GTEST_SKIP() << "this machine has an ALSA sequencer";
  ScopedEnv api("MIDIFLASH_MIDI_API", std::nullopt);
  ScopedEnv server("JACK_DEFAULT_SERVER", "midiflash-nobody-" + std::to_string(getpid()));
  LogLines log;
  MidiAPI midi;
  EXPECT_STREQ(midi.ServiceName(), "none");
  EXPECT_EQ(log.CountStartingWith("MIDIClientCreate err = "), 1u);
  EXPECT_EQ(log.CountStartingWith("MIDIOutputPortCreate err = "), 0u);
  ExpectNoOutput(midi, log);
}

TEST(NoServiceTest, ForcedAlsaWithoutSequencerDeviceFailsCleanly) {
  if (HasAlsaSequencer()) GTEST_SKIP() << "this machine has an ALSA sequencer";
  // A JACK server is running, but the forced choice must not fall back to it.
  ASSERT_NE(JackServerEnvironment::server(), nullptr);
  ScopedEnv api("MIDIFLASH_MIDI_API", "alsa");
  LogLines log;
  MidiAPI midi;
  EXPECT_STREQ(midi.ServiceName(), "none");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  // snd_seq_open reports the missing /dev/snd/seq as -ENOENT.
  EXPECT_EQ(lines[0], "MIDIClientCreate err = -2");
  ExpectNoOutput(midi, log);
}

TEST(NoServiceTest, DefaultChoiceFallsBackToARunningJackServer) {
  if (HasAlsaSequencer()) GTEST_SKIP() << "this machine has an ALSA sequencer";
  ASSERT_NE(JackServerEnvironment::server(), nullptr);
  ScopedEnv api("MIDIFLASH_MIDI_API", std::nullopt);
  LogLines log;
  MidiAPI midi;
  EXPECT_STREQ(midi.ServiceName(), "jack");
  EXPECT_EQ(log.lines().size(), 0u);
}

}  // namespace
}  // namespace midiflash::testing
