# The example service on Wine's SCM, and a service project of its own built
# with the same toolchain against the installed package and the source tree.
if(TARGET ticker)
  qz_add_e2e(example_life example_life.sh SCM)
  # Reads back the ticker's registration, resources and event source; its own
  # code page is UTF-8 too.
  qzsvc_add_service(uniprobe SOURCES unicode_probe.cpp UTF8)
  target_link_libraries(uniprobe PRIVATE version qz_warnings)
  qz_add_e2e(example_unicode example_unicode.sh SCM)
  # The optional install settings, with the test services and the ticker.
  qz_add_e2e(commands_settings commands_settings.sh SCM)
endif()

if(QZ_INSTALL)
  set(QZ_CONSUMER_MODES installed subdirectory)
  # With GCC, also the compiler of the win32 thread model, which has no
  # std::mutex or std::thread.
  if(CMAKE_CXX_COMPILER MATCHES "-posix$" AND CMAKE_TOOLCHAIN_FILE MATCHES "mingw")
    list(APPEND QZ_CONSUMER_MODES win32-threads)
  endif()
  foreach(mode ${QZ_CONSUMER_MODES})
    add_test(NAME package_consumer_${mode}
      COMMAND ${CMAKE_COMMAND} -DMODE=${mode} -DQZ_BUILD_DIR=${CMAKE_BINARY_DIR}
        -DQZ_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DQZ_TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
        -DQZ_GENERATOR=${CMAKE_GENERATOR} -DQZ_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -P ${PROJECT_SOURCE_DIR}/tests/consumer/build.cmake)
    set_tests_properties(package_consumer_${mode} PROPERTIES
      LABELS "package;build" FIXTURES_SETUP qz_consumer TIMEOUT 900)
  endforeach()
  qz_add_e2e(package_consumer_help ../consumer/help.sh)
  string(REPLACE ";" " " QZ_CONSUMER_MODE_LIST "${QZ_CONSUMER_MODES}")
  set_tests_properties(package_consumer_help PROPERTIES
    LABELS "e2e;package" FIXTURES_REQUIRED "wine;qz_consumer"
    ENVIRONMENT "QZ_BUILD_DIR=${CMAKE_BINARY_DIR};QZ_SOURCE_DIR=${PROJECT_SOURCE_DIR};QZ_CONSUMER_MODES=${QZ_CONSUMER_MODE_LIST}")
endif()

# Log files: two processes appending to one, and the ticker's log under the SCM.
add_executable(log_probe ${CMAKE_CURRENT_LIST_DIR}/log_probe.cpp)
target_link_libraries(log_probe PRIVATE qz_foundation qz_warnings)
qz_add_e2e(log_append log_append.sh)
if(TARGET ticker)
  qz_add_e2e(example_log example_log.sh SCM)
endif()
