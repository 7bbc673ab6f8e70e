# Fuzz targets (libFuzzer), built only with Clang and on request:
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVANTORA_FUZZ=ON \
#     -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined"
#   cmake --build build-fuzz --target HUtilsFilter_fuzz
#   ./build-fuzz/tests/HUtilsFilter_fuzz -max_len=4096
option(VANTORA_FUZZ "Build the libFuzzer targets (Clang only)" OFF)
if(VANTORA_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(HUtilsFilter_fuzz ${CMAKE_CURRENT_LIST_DIR}/HUtilsFilter_fuzz.cpp)
  target_include_directories(HUtilsFilter_fuzz PRIVATE ${CMAKE_SOURCE_DIR}
                             ${CMAKE_SOURCE_DIR}/tests)
  target_compile_options(HUtilsFilter_fuzz PRIVATE ${VANTORA_WARNINGS}
                         -fsanitize=fuzzer,address,undefined)
  target_link_options(HUtilsFilter_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(HUtilsFilter_fuzz PRIVATE vantora_core)
endif()

# Cookie decoding and visitor classification (visitor-supplied texts):
#   cmake --build build-fuzz --target HUtilsCookie_fuzz VantoraStatClassify_fuzz
if(VANTORA_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  foreach(target HUtilsCookie_fuzz VantoraStatClassify_fuzz)
    add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    target_compile_options(${target} PRIVATE ${VANTORA_WARNINGS} -fsanitize=fuzzer,address,undefined)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${target} PRIVATE vantora_core)
  endforeach()
endif()

# The Windows CGI profile reader (profiles a web server wrote, or anything
# named on the command line):
#   cmake --build build-fuzz --target CgiWEngProfile_fuzz
if(VANTORA_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(CgiWEngProfile_fuzz ${CMAKE_CURRENT_LIST_DIR}/CgiWEngProfile_fuzz.cpp)
  target_include_directories(CgiWEngProfile_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(CgiWEngProfile_fuzz PRIVATE ${VANTORA_WARNINGS}
                         -fsanitize=fuzzer,address,undefined)
  target_link_options(CgiWEngProfile_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(CgiWEngProfile_fuzz PRIVATE vantora_core)
endif()
