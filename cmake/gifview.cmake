# vantora-gifview: the GIF control in an X11 window (Xlib), or its composed
# frames written as PNG files (libpng).  Installed beside the program.
find_package(X11 REQUIRED)
find_package(PNG REQUIRED)
add_executable(vantora-gifview ${CMAKE_SOURCE_DIR}/gifview/main.cpp
               ${CMAKE_SOURCE_DIR}/gifview/FrameWriter.cpp ${CMAKE_SOURCE_DIR}/gifview/X11Viewer.cpp)
target_compile_options(vantora-gifview PRIVATE ${VANTORA_WARNINGS})
target_include_directories(vantora-gifview PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(vantora-gifview PRIVATE vantora_core X11::X11 PNG::PNG)
include(GNUInstallDirs)
install(TARGETS vantora-gifview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
