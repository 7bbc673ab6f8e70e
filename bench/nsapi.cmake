# Requests through libvantora.so's NSAPI service function in process: the
# benchmark plays the server with the test tree's NSAPI host and fake server
# library, so it is measured when the tests are built.
if(TARGET vantora_ns_fake_plain)
  target_sources(vantora_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/NsapiHost.cpp)
  target_include_directories(vantora_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_dependencies(vantora_bench vantora_library vantora_ns_fake_plain)
  target_compile_definitions(vantora_bench PRIVATE
    VANTORA_NSAPI_BENCH=1
    VANTORA_NS_FAKE="$<TARGET_FILE:vantora_ns_fake_plain>"
    VANTORA_LIBRARY="$<TARGET_FILE:vantora_library>"
    VANTORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
