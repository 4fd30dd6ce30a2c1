# Whole-program tests of the demo's help and console mode.
add_executable(console_keys ${CMAKE_CURRENT_SOURCE_DIR}/console_keys.cpp)
target_link_libraries(console_keys PRIVATE qz_service qz_warnings)

qz_add_e2e(console_output console_output.sh)
qz_add_e2e(console_interactive console_interactive.sh)
