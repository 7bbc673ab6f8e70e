# giflib decodes every GIF the tests produce, as a check independent of our
# own code.  giflib ships no CMake package: find its header and library.
find_path(GIF_INCLUDE_DIR gif_lib.h)
find_library(GIF_LIBRARY NAMES gif)
if(NOT GIF_INCLUDE_DIR OR NOT GIF_LIBRARY)
  message(FATAL_ERROR "giflib (gif_lib.h and libgif) is needed by the tests: install libgif-dev")
endif()
target_include_directories(vantora_tests PRIVATE ${GIF_INCLUDE_DIR} ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vantora_tests PRIVATE ${GIF_LIBRARY})
target_sources(vantora_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/GifDecodeCheck.cpp
                                     ${CMAKE_CURRENT_LIST_DIR}/GifTestData.cpp)

# The chart test program: the chart form answering every request behind a
# real web server, linked like the vantora executable.
add_executable(vantora_chart_cgi ${CMAKE_CURRENT_LIST_DIR}/ChartCgiMain.cpp)
target_compile_options(vantora_chart_cgi PRIVATE ${VANTORA_WARNINGS})
target_include_directories(vantora_chart_cgi PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(vantora_chart_cgi PRIVATE vantora_core)
if(COMMAND vantora_link_program)
  vantora_link_program(vantora_chart_cgi)
endif()
add_dependencies(vantora_tests vantora_chart_cgi vantora)
target_compile_definitions(vantora_tests PRIVATE
  VANTORA_CHART_CGI="$<TARGET_FILE:vantora_chart_cgi>"
  VANTORA_CHART_PROGRAM="$<TARGET_FILE:vantora>")
