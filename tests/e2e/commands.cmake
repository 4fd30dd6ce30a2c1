# The management commands against Wine's service control manager: a probe
# that reads registrations back, test services in four shapes, and the
# scripts.
add_executable(cmdprobe ${CMAKE_CURRENT_LIST_DIR}/commands_probe.cpp)
target_link_libraries(cmdprobe PRIVATE qz_foundation qz_warnings advapi32)

foreach(shape record params bare extra)
  string(TOUPPER ${shape} upper)
  add_executable(cmdsvc_${shape} ${CMAKE_CURRENT_LIST_DIR}/commands_service.cpp)
  target_compile_definitions(cmdsvc_${shape} PRIVATE QZ_CMD_${upper})
  target_link_libraries(cmdsvc_${shape} PRIVATE qz_service qz_warnings)
endforeach()

qz_add_e2e(commands_install commands_install.sh SCM)
qz_add_e2e(commands_control commands_control.sh SCM)
qz_add_e2e(commands_input commands_input.sh SCM)
