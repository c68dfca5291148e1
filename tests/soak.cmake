# zolt-soak: a long match against the real server, reading its memory and
# descriptors from /proc (tests/soak.cc). POSIX only. Included from the
# top-level CMakeLists.txt where the tests are defined.
if(NOT WIN32)
  add_executable(zolt-soak ${CMAKE_CURRENT_LIST_DIR}/soak.cc)
  target_link_libraries(zolt-soak PRIVATE zolt)
  target_compile_options(zolt-soak PRIVATE ${ZOLT_NO_EXCEPTIONS})
  target_compile_definitions(zolt-soak PRIVATE ZOLT_SERVER_BINARY="$<TARGET_FILE:zolt-server>")
  add_dependencies(zolt-soak zolt-server)
endif()
