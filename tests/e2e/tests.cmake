# The end-to-end tests run the real vantora executable behind a web server
# (and a browser): the test binary needs it built and must know where it is.
add_dependencies(vantora_tests vantora)
target_compile_definitions(vantora_tests PRIVATE VANTORA_PROGRAM="$<TARGET_FILE:vantora>")
