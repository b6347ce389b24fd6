// Opens the program's MIDI output: one client "outputClient" with one output port
// "outputPortName", on the ALSA sequencer or on JACK.
#pragma once

#include <memory>

#include "MidiOutput.h"

namespace midiflash {

// MIDIFLASH_MIDI_API=alsa or =jack forces a service; otherwise the ALSA sequencer when it opens,
// else a running JACK server (never started for us). Failures are logged as
// "MIDIClientCreate err = %d" or "MIDIOutputPortCreate err = %d". Never null: without a client
// the output's ServiceName() is "none", it has no destinations and every send fails with -ENODEV.
std::unique_ptr<MidiOutput> OpenMidiOutput();

}  // namespace midiflash
