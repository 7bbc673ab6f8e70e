# Fuzz targets of the request engine (libFuzzer), built only with Clang and on
# request; not part of the test run:
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVANTORA_FUZZ=ON \
#     -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined"
#   cmake --build build-fuzz --target HttpEngFields_fuzz HttpEngMultipart_fuzz
#   ./build-fuzz/tests/HttpEngMultipart_fuzz -max_len=300000
option(VANTORA_FUZZ "Build the libFuzzer targets (Clang only)" OFF)
if(VANTORA_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  foreach(target HttpEngFields_fuzz HttpEngMultipart_fuzz)
    add_executable(${target} ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.cpp)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    target_compile_options(${target} PRIVATE ${VANTORA_WARNINGS} -fsanitize=fuzzer,address,undefined)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${target} PRIVATE vantora_core)
  endforeach()
endif()
