// Prints, for each ALSA sequencer destination, the largest message the output tells for it:
// "NAME: BYTES" a line (kernel_bed.py checks them in the guest).
#include <cstdio>
#include <cstdlib>

#include "MidiService.h"

int main() {
  setenv("MIDIFLASH_MIDI_API", "alsa", 1);
  const auto midi = midiflash::OpenMidiOutput();
  for (const midiflash::MidiDestination& d : midi->ListDestinations()) {
    std::printf("%s: %llu\n", d.name.c_str(),
                static_cast<unsigned long long>(midi->LargestMessage(d.id)));
  }
  return 0;
}
