# The end-to-end tests run the real vantora executable behind a web server
# (and a browser): the test binary needs it built and must know where it is.
add_dependencies(vantora_tests vantora)
target_compile_definitions(vantora_tests PRIVATE VANTORA_PROGRAM="$<TARGET_FILE:vantora>")

# The program with a fake resolver (tests/e2e/FakeDnsCgiMain.cpp), linked like
# the vantora executable, for visitors from chosen host names.
add_executable(vantora_fake_dns_cgi ${CMAKE_CURRENT_LIST_DIR}/FakeDnsCgiMain.cpp)
target_compile_options(vantora_fake_dns_cgi PRIVATE ${VANTORA_WARNINGS})
target_include_directories(vantora_fake_dns_cgi PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(vantora_fake_dns_cgi PRIVATE vantora_core)
if(COMMAND vantora_link_program)
  vantora_link_program(vantora_fake_dns_cgi)
endif()
add_dependencies(vantora_tests vantora_fake_dns_cgi)
target_compile_definitions(vantora_tests PRIVATE
  VANTORA_FAKE_DNS_CGI="$<TARGET_FILE:vantora_fake_dns_cgi>")
