# How the vantora executable is linked: fully static (glibc included).
#
# A CGI program is started once per request, so its start-up is most of its
# cost, and on Linux start-up is mostly mapping and relocating shared
# libraries.  A static binary starts in about the time of a minimal static C
# program; dynamic libstdc++ alone makes that about three times as long.
#
# The reverse lookup of visitor addresses needs nothing of glibc's name
# service switch: the program's own resolver (platform/DnsResolver.h) reads
# the hosts file and asks the name servers of resolv.conf itself.
# tests/adapters checks its answers against the system resolver.
#
# Libraries that the code links as shared objects (imported targets such as
# Freetype::Freetype) are swapped for their static archives, with the
# archives' own dependencies from pkg-config, in programs linked this way
# only; the tests and the benchmarks stay dynamic.
option(VANTORA_STATIC "Link the vantora executable fully static" ON)

# pkg-config modules of the imported targets the program links.
set(VANTORA_STATIC_PKG_Freetype::Freetype freetype2)
set(VANTORA_STATIC_PKG_JPEG::JPEG libjpeg)

# Links a program the way the vantora executable is linked.
function(vantora_link_program target)
  if(VANTORA_STATIC)
    set_target_properties(${target} PROPERTIES VANTORA_STATIC_LINK ON)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# Rewrites vantora_core's link interface once every fragment has added its
# libraries: each imported target with a pkg-config module becomes, in
# statically linked programs, the module's static link flags.
function(vantora_static_link_interface)
  get_target_property(libraries vantora_core INTERFACE_LINK_LIBRARIES)
  if(NOT libraries)
    return()
  endif()
  find_program(VANTORA_PKG_CONFIG pkg-config)
  set(rewritten)
  foreach(library IN LISTS libraries)
    set(module "${VANTORA_STATIC_PKG_${library}}")
    if(module AND VANTORA_PKG_CONFIG)
      execute_process(COMMAND ${VANTORA_PKG_CONFIG} --static --libs ${module}
                      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                      RESULT_VARIABLE status)
      if(status EQUAL 0 AND flags)
        separate_arguments(flags UNIX_COMMAND "${flags}")
        string(REPLACE ";" "$<SEMICOLON>" flags "${flags}")
        list(APPEND rewritten
             "$<IF:$<BOOL:$<TARGET_PROPERTY:VANTORA_STATIC_LINK>>,${flags},${library}>")
        continue()
      endif()
    endif()
    list(APPEND rewritten "${library}")
  endforeach()
  set_target_properties(vantora_core PROPERTIES INTERFACE_LINK_LIBRARIES "${rewritten}")
endfunction()

function(vantora_static_finish)
  vantora_static_link_interface()
  if(TARGET vantora)
    vantora_link_program(vantora)
  endif()
endfunction()

if(VANTORA_STATIC)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vantora_static_finish)
endif()
