# Requests through libvantora.so in process: the benchmark loads the library
# with the test tree's ISAPI host.
target_sources(vantora_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/IsapiHost.cpp)
target_include_directories(vantora_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
add_dependencies(vantora_bench vantora_library)
target_compile_definitions(vantora_bench PRIVATE
  VANTORA_LIBRARY="$<TARGET_FILE:vantora_library>"
  VANTORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
