# The echo test program: the program's start-up with a main form that echoes
# the request.  Linked like the vantora executable, so the real-server tests
# and the start-up benchmark see the same kind of binary.
add_executable(vantora_echo_cgi ${CMAKE_CURRENT_SOURCE_DIR}/adapters/EchoCgiMain.cpp)
target_compile_options(vantora_echo_cgi PRIVATE ${VANTORA_WARNINGS})
target_include_directories(vantora_echo_cgi PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(vantora_echo_cgi PRIVATE vantora_core)
if(COMMAND vantora_link_program)
  vantora_link_program(vantora_echo_cgi)
endif()

# A probe of the program's resolver, linked like the vantora executable: the
# tests compare its reverse lookups with the system's (getnameinfo) in the
# test process.
add_executable(vantora_lookup_probe ${CMAKE_CURRENT_SOURCE_DIR}/adapters/LookupProbeMain.cpp)
target_compile_options(vantora_lookup_probe PRIVATE ${VANTORA_WARNINGS})
target_include_directories(vantora_lookup_probe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(vantora_lookup_probe PRIVATE vantora_core)
if(COMMAND vantora_link_program)
  vantora_link_program(vantora_lookup_probe)
endif()

add_dependencies(vantora_tests vantora_echo_cgi vantora_lookup_probe)
target_compile_definitions(vantora_tests PRIVATE
  VANTORA_ECHO_CGI="$<TARGET_FILE:vantora_echo_cgi>"
  VANTORA_LOOKUP_PROBE="$<TARGET_FILE:vantora_lookup_probe>")

# libvantora.so and a host written in C that loads it: the library tests
# check what the library exports and needs, and that a C program loads it.
add_executable(vantora_c_host ${CMAKE_CURRENT_SOURCE_DIR}/adapters/CHostMain.c)
target_link_libraries(vantora_c_host PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(vantora_tests vantora_library vantora_c_host)
target_compile_definitions(vantora_tests PRIVATE
  VANTORA_LIBRARY="$<TARGET_FILE:vantora_library>"
  VANTORA_C_HOST="$<TARGET_FILE:vantora_c_host>")

# The fake NSAPI server library: libns-httpd40.so with the server functions
# under their plain names, and libns-httpd30.so exporting only "INT" names.
# Both export only what the fake declares for export.
foreach(variant plain int)
  add_library(vantora_ns_fake_${variant} SHARED
              ${CMAKE_CURRENT_SOURCE_DIR}/adapters/NsFakeServerLib.cpp)
  target_include_directories(vantora_ns_fake_${variant} PRIVATE
                             ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(vantora_ns_fake_${variant} PRIVATE ${VANTORA_WARNINGS})
  set_target_properties(vantora_ns_fake_${variant} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/nsapi)
endforeach()
set_target_properties(vantora_ns_fake_plain PROPERTIES OUTPUT_NAME ns-httpd40)
set_target_properties(vantora_ns_fake_int PROPERTIES OUTPUT_NAME ns-httpd30)
target_compile_definitions(vantora_ns_fake_int PRIVATE NS_FAKE_INT_NAMES)
add_dependencies(vantora_tests vantora_ns_fake_plain vantora_ns_fake_int)
target_compile_definitions(vantora_tests PRIVATE
  VANTORA_NS_FAKE="$<TARGET_FILE:vantora_ns_fake_plain>"
  VANTORA_NS_FAKE_INT="$<TARGET_FILE:vantora_ns_fake_int>")
