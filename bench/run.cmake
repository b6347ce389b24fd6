# bench_run and bench_soak: whole runs of midiflash-cli play to a private JACK server.
if(NOT TARGET midiflash_jacktestbed)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/support)
endif()
foreach(name run soak)
  add_executable(bench_${name} ${CMAKE_CURRENT_LIST_DIR}/${name}_bench.cpp)
  target_include_directories(bench_${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(bench_${name} PRIVATE midiflash_jacktestbed midiflash_smfbuilder)
  target_compile_definitions(bench_${name} PRIVATE
                             MIDIFLASH_CLI_PATH="$<TARGET_FILE:midiflash-cli>")
  add_dependencies(bench_${name} midiflash-cli)
  set_target_properties(bench_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endforeach()
