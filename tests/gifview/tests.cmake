# The viewer's tests run the installed-to-be program: under Xvfb for the
# window (read back through Xlib), and with --frames (read back with libpng).
find_package(X11 REQUIRED)
find_package(PNG REQUIRED)
target_link_libraries(vantora_tests PRIVATE X11::X11 PNG::PNG)
add_dependencies(vantora_tests vantora-gifview)
target_compile_definitions(vantora_tests PRIVATE VANTORA_GIFVIEW="$<TARGET_FILE:vantora-gifview>")
