// Write protection of the file system for this process, with Linux Landlock. The program writes
// no file: after start-up it may only write where the MIDI services need to (the ALSA device
// nodes, and JACK's sockets, shared memory and semaphores). Reading stays unrestricted, so the
// update file can still be opened, read-only.
#pragma once

#include <string>
#include <vector>

namespace midiflash {

// Where the MIDI services write: /dev/snd (ALSA opens its device nodes for writing), /dev/shm
// (a JACK client binds and removes its notification socket there, opens the server's shared
// memory and semaphores for writing and keeps its metadata database in a folder of its own
// there) and /dev/null, opened for writing by libraries that silence an output.
std::vector<std::string> MidiServicePaths();

// The Landlock ABI version of the running kernel; 0 when the kernel has no Landlock or it is
// turned off. `reason`, when given, receives why it is missing.
int LandlockAbi(std::string* reason = nullptr);

// Restricts the calling thread, and every thread and child process it starts afterwards, so that
// it can create, write to, truncate, rename, link or remove nothing in the file system except
// beneath the paths in `writable` (a path that does not exist is left out). Files already open
// stay usable. Call it at start-up, before any other thread exists: threads running already keep
// their rights. It also sets no_new_privs, which Landlock requires.
//
// Returns true when the restriction is in force. Returns false, and nothing is restricted, when
// the kernel lacks Landlock (logged once: "Landlock is not available: ...") or when a step fails
// (logged as "<call> err = <errno>"); `reason`, when given, then says why.
bool RestrictWrites(const std::vector<std::string>& writable = MidiServicePaths(),
                    std::string* reason = nullptr);

}  // namespace midiflash
