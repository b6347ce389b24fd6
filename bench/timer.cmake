# bench_timer: pacing of the tick timer, idle and with the other core busy.
add_executable(bench_timer ${CMAKE_CURRENT_LIST_DIR}/timer_bench.cpp)
target_link_libraries(bench_timer PRIVATE midiflash_timer)
set_target_properties(bench_timer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
