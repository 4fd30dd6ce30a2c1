# Hostile input to the demo, in the default run; and soak runs on Wine's
# service control manager, registered only with -DQZ_SOAK=ON (label soak,
# run by scripts/soak.sh) because they take many minutes.
qz_add_e2e(hostile_switches hostile_switches.sh)
qz_add_e2e(hostile_paths hostile_paths.sh SCM)

option(QZ_SOAK "Register the soak runs on Wine's SCM (label soak)" OFF)
if(QZ_SOAK)
  add_executable(soak_control ${CMAKE_CURRENT_LIST_DIR}/soak_control.cpp)
  target_link_libraries(soak_control PRIVATE qz_foundation qz_warnings advapi32)
  target_include_directories(soak_control PRIVATE ${PROJECT_SOURCE_DIR})

  qz_add_e2e(soak_cycles soak_cycles.sh SCM)
  qz_add_e2e(soak_controls soak_controls.sh SCM)
  set_tests_properties(soak_cycles soak_controls PROPERTIES LABELS soak TIMEOUT 5400)
endif()
