# giflib decodes every GIF the tests produce, as a check independent of our
# own code.  giflib ships no CMake package: find its header and library.
find_path(GIF_INCLUDE_DIR gif_lib.h)
find_library(GIF_LIBRARY NAMES gif)
if(NOT GIF_INCLUDE_DIR OR NOT GIF_LIBRARY)
  message(FATAL_ERROR "giflib (gif_lib.h and libgif) is needed by the tests: install libgif-dev")
endif()
target_include_directories(vantora_tests PRIVATE ${GIF_INCLUDE_DIR} ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vantora_tests PRIVATE ${GIF_LIBRARY})
target_sources(vantora_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/GifDecodeCheck.cpp)
