# The service runtime against Wine's service control manager: the demo's
# status reports through a whole life, and two services in one process.
add_executable(runtime_control ${CMAKE_CURRENT_LIST_DIR}/runtime_control.cpp)
target_link_libraries(runtime_control PRIVATE qz_foundation qz_warnings advapi32)
target_include_directories(runtime_control PRIVATE ${PROJECT_SOURCE_DIR})

add_executable(runtime_shared ${CMAKE_CURRENT_LIST_DIR}/runtime_shared.cpp)
target_link_libraries(runtime_shared PRIVATE qz_service qz_warnings)

qz_add_e2e(runtime_demo_life runtime_demo_life.sh SCM)
qz_add_e2e(runtime_shared_process runtime_shared_process.sh SCM)

# What a kernel without 32-bit execution runs: the 64-bit build through the
# 64-bit loader directly.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  qz_add_e2e(runner_fallback runner_fallback.sh SCM)
endif()
