# Fuzz targets (libFuzzer), built only with Clang and on request.  Each target
# tests/fuzz/<name>.cpp has a checked-in seed corpus in
# tests/fuzz/corpus/<name>/, which CI replays under the sanitizers
# (tools/ci-sanitizers.sh).  A fuzzing run:
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVANTORA_FUZZ=ON -DVANTORA_STATIC=OFF \
#     -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined"
#   cmake --build build-fuzz --target VantoraStatFiles_fuzz
#   mkdir -p /tmp/corpus && cp tests/fuzz/corpus/VantoraStatFiles_fuzz/* /tmp/corpus/
#   ./build-fuzz/tests/VantoraStatFiles_fuzz /tmp/corpus -max_total_time=600
# Replaying a corpus without fuzzing:
#   ./build-fuzz/tests/VantoraStatFiles_fuzz -runs=0 tests/fuzz/corpus/VantoraStatFiles_fuzz
# Every target here, the Windows CGI profile reader (CgiWEngProfile_fuzz)
# among them, is picked up by its file name.
option(VANTORA_FUZZ "Build the libFuzzer targets (Clang only)" OFF)
if(VANTORA_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # A sanitizer build brings its own sanitizers; otherwise address and
  # undefined behaviour are checked.
  if(VANTORA_SANITIZE)
    set(VANTORA_FUZZ_FLAGS -fsanitize=fuzzer)
  else()
    set(VANTORA_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined)
  endif()
  file(GLOB VANTORA_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_fuzz.cpp)
  set(VANTORA_FUZZ_TARGETS)
  foreach(source ${VANTORA_FUZZ_SOURCES})
    get_filename_component(target ${source} NAME_WE)
    add_executable(${target} ${source})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    target_compile_options(${target} PRIVATE ${VANTORA_WARNINGS} ${VANTORA_FUZZ_FLAGS})
    target_link_options(${target} PRIVATE ${VANTORA_FUZZ_FLAGS})
    target_link_libraries(${target} PRIVATE vantora_core)
    list(APPEND VANTORA_FUZZ_TARGETS ${target})
  endforeach()
  # The GIF encoder's target checks every stream it accepts with giflib
  # (found by tests/charts/tests.cmake).
  target_include_directories(HGIFImage_fuzz PRIVATE ${GIF_INCLUDE_DIR})
  target_link_libraries(HGIFImage_fuzz PRIVATE ${GIF_LIBRARY})
  add_custom_target(fuzz_targets DEPENDS ${VANTORA_FUZZ_TARGETS})
endif()
