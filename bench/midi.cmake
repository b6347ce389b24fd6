# bench_midi: MIDI output latency and System Exclusive throughput on a private jackd and PipeWire.
if(NOT TARGET midiflash_jacktestbed)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/support)
endif()
add_executable(bench_midi ${CMAKE_CURRENT_LIST_DIR}/midi_bench.cpp)
target_link_libraries(bench_midi PRIVATE midiflash_midi midiflash_jacktestbed PkgConfig::JACK)
set_target_properties(bench_midi PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

# bench_delivery: delivery warnings against real losses, and stop times, on each JACK server kind.
add_executable(bench_delivery ${CMAKE_CURRENT_LIST_DIR}/delivery_bench.cpp)
target_link_libraries(bench_delivery PRIVATE midiflash_midi midiflash_jacktestbed PkgConfig::JACK)
set_target_properties(bench_delivery PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
