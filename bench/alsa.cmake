# bench_alsa_cable: a file that asks for five times what a MIDI cable carries, played to a serial
# MIDI port of a real kernel sequencer in a QEMU guest whose UART the host drains at 3125 bytes a
# second; prints the rate achieved on the cable and how long the guest's main thread was held.
add_executable(alsa_cable_probe ${CMAKE_CURRENT_LIST_DIR}/alsa_cable_probe.cpp)
target_link_libraries(alsa_cable_probe PRIVATE midiflash_cli)
set_target_properties(alsa_cable_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bench/bench_alsa_cable
     CONTENT "#!/bin/sh\nexec ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/midi/alsa-kernel/kernel_bed.py bench --cli $<TARGET_FILE:midiflash-cli> --probe $<TARGET_FILE:alsa_cable_probe> --cache ${CMAKE_BINARY_DIR}/alsa-kernel-cache\n"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
