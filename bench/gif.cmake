# The GIF encoder benchmark compares our encoder with giflib, which is linked
# to the benchmark only.  giflib ships no CMake package: find its header and
# library.
find_path(GIF_INCLUDE_DIR gif_lib.h)
find_library(GIF_LIBRARY NAMES gif)
if(NOT GIF_INCLUDE_DIR OR NOT GIF_LIBRARY)
  message(FATAL_ERROR "giflib (gif_lib.h and libgif) is needed by the benchmarks: install libgif-dev")
endif()
target_include_directories(vantora_bench PRIVATE ${GIF_INCLUDE_DIR})
target_link_libraries(vantora_bench PRIVATE ${GIF_LIBRARY})
