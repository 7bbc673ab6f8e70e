# libvantora.so: the program as a shared library, for web servers that load
# it (its entry points are the *_exports.cpp units of adapters/).
#
# It links the same vantora_core archive as the executable (all of it is
# position-independent code).  What the host sees:
# - only the entry points: the export units are built with hidden visibility
#   and mark their entry points VANTORA_EXPORT (adapters/LibraryExport.h),
#   and every symbol that comes from an archive (vantora_core, the static C++
#   runtime) is hidden by --exclude-libs; the version script libvantora.map
#   names the entry points and keeps everything else local, whatever a
#   compiler leaves out of line;
# - no C++ runtime of its own: libstdc++ and libgcc are linked in statically,
#   so a C host needs nothing beyond the C library, libjpeg and FreeType
#   (sanitizer builds excepted);
# - no unresolved symbol left for the host to provide (--no-undefined).
file(GLOB VANTORA_EXPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/adapters/*_exports.cpp)

add_library(vantora_library SHARED ${VANTORA_EXPORT_SOURCES})
set_target_properties(vantora_library PROPERTIES
  OUTPUT_NAME vantora
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_compile_options(vantora_library PRIVATE ${VANTORA_WARNINGS})
target_link_libraries(vantora_library PRIVATE vantora_core)
# A sanitizer build takes the C++ runtime from the system instead: the
# sanitizer must see its allocations and the guards of static values.
set(VANTORA_LIBRARY_RUNTIME -static-libstdc++ -static-libgcc)
if(VANTORA_SANITIZE)
  set(VANTORA_LIBRARY_RUNTIME)
endif()
target_link_options(vantora_library PRIVATE
  ${VANTORA_LIBRARY_RUNTIME}
  -Wl,--exclude-libs,ALL
  -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/libvantora.map
  -Wl,-z,now)
set_property(TARGET vantora_library APPEND PROPERTY
  LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/libvantora.map)
# A sanitizer's runtime comes with the host program, so a sanitizer build of
# the library leaves its symbols unresolved.
# (Also when the flags are given by hand in CMAKE_CXX_FLAGS.)
if(NOT VANTORA_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  target_link_options(vantora_library PRIVATE -Wl,--no-undefined)
endif()

include(GNUInstallDirs)
install(TARGETS vantora_library LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
