# The load driver of the CGI server benchmark (bench/cgi_server_bench.sh).
add_executable(vantora_cgi_load ${CMAKE_CURRENT_SOURCE_DIR}/CgiLoadMain.cpp)
target_compile_options(vantora_cgi_load PRIVATE ${VANTORA_WARNINGS})
target_link_libraries(vantora_cgi_load PRIVATE Threads::Threads)
