# The example service on Wine's SCM, and a service project of its own built
# with the same toolchain against the installed package and the source tree.
if(TARGET ticker)
  qz_add_e2e(example_life example_life.sh SCM)
endif()

if(QZ_INSTALL)
  foreach(mode installed subdirectory)
    add_test(NAME package_consumer_${mode}
      COMMAND ${CMAKE_COMMAND} -DMODE=${mode} -DQZ_BUILD_DIR=${CMAKE_BINARY_DIR}
        -DQZ_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DQZ_TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
        -DQZ_GENERATOR=${CMAKE_GENERATOR} -DQZ_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -P ${PROJECT_SOURCE_DIR}/tests/consumer/build.cmake)
    set_tests_properties(package_consumer_${mode} PROPERTIES
      LABELS package FIXTURES_SETUP qz_consumer TIMEOUT 900)
  endforeach()
  qz_add_e2e(package_consumer_help ../consumer/help.sh)
  set_tests_properties(package_consumer_help PROPERTIES
    LABELS "e2e;package" FIXTURES_REQUIRED "wine;qz_consumer")
endif()
