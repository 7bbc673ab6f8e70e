# The recording process that the statistics tests start many times at once.
add_executable(vantora_stat_helper ${CMAKE_CURRENT_LIST_DIR}/VantoraStatHelper.cpp)
target_compile_options(vantora_stat_helper PRIVATE ${VANTORA_WARNINGS})
target_link_libraries(vantora_stat_helper PRIVATE vantora_core)
add_dependencies(vantora_tests vantora_stat_helper)
target_compile_definitions(vantora_tests PRIVATE
  VANTORA_STAT_HELPER="$<TARGET_FILE:vantora_stat_helper>")
