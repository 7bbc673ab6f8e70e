# Code layout of the vantora executable: the functions a request runs lie
# together at the start of the program's code.
#
# A CGI process starts, serves one request and ends; most of its time goes
# to the pages of memory it touches for the first time, and each page of
# code it runs is such a page.  Laid out by the linker's default order, the
# few hundred functions of a counting request (of the program, the C++
# runtime and the C library) are spread over the 3 MB of code, one or two in
# each page.  The linker lld can place functions in an order given by a list
# of their symbols: cmake/vantora.order, written by tools/order-functions.sh
# from the functions that the program's requests run (counting first, then
# the pages, then the charts).  The list is a hint: a symbol it names that no
# longer exists is skipped, and a function it misses keeps its usual place,
# so a stale list costs speed, never correctness.
#
# Needs lld (Debian package lld); without it, and in sanitizer builds, the
# program is linked as usual.
option(VANTORA_ORDER_FUNCTIONS "Lay out the vantora executable's code in request order (needs lld)" ON)

set(VANTORA_ORDER_FILE ${CMAKE_CURRENT_LIST_DIR}/vantora.order)

if(VANTORA_ORDER_FUNCTIONS AND NOT VANTORA_SANITIZE)
  include(CheckLinkerFlag)
  check_linker_flag(CXX "-fuse-ld=lld" VANTORA_HAVE_LLD)
  if(VANTORA_HAVE_LLD)
    # Each function (and each datum) in a section of its own, so that the
    # linker can move it.
    target_compile_options(vantora_core PRIVATE -ffunction-sections -fdata-sections)
    function(vantora_layout_finish)
      if(NOT TARGET vantora)
        return()
      endif()
      target_compile_options(vantora PRIVATE -ffunction-sections -fdata-sections)
      target_link_options(vantora PRIVATE -fuse-ld=lld
                          -Wl,--symbol-ordering-file=${VANTORA_ORDER_FILE}
                          -Wl,--no-warn-symbol-ordering)
      set_property(TARGET vantora APPEND PROPERTY LINK_DEPENDS ${VANTORA_ORDER_FILE})
    endfunction()
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vantora_layout_finish)
  else()
    message(STATUS "lld not found: the vantora executable keeps the linker's default code layout")
  endif()
endif()
