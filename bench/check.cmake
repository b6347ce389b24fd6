# bench_check: `midiflash-cli check` and the core check on generated 16 MiB files, against midicsv
# and mido.
add_executable(bench_check ${CMAKE_CURRENT_LIST_DIR}/check_bench.cpp)
target_link_libraries(bench_check PRIVATE midiflash_core midiflash_platform)
target_compile_definitions(bench_check PRIVATE MIDIFLASH_CLI_PATH="$<TARGET_FILE:midiflash-cli>")
add_dependencies(bench_check midiflash-cli)
set_target_properties(bench_check PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
