# Builds the consumer project with the toolchain of a framework build tree:
# against the package installed from that tree (MODE=installed), against the
# source tree (MODE=subdirectory), or against the source tree as the smallest
# build: the compiler of the win32 thread model, optimised for size and at
# link time (MODE=win32-threads). Run with cmake -P;
# needs QZ_BUILD_DIR, QZ_SOURCE_DIR, QZ_TOOLCHAIN, QZ_GENERATOR,
# QZ_BUILD_TYPE and MODE.
set(work ${QZ_BUILD_DIR}/consumer/${MODE})
set(stage ${QZ_BUILD_DIR}/consumer/stage)
file(REMOVE_RECURSE ${work})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}")
  endif()
endfunction()

set(configure ${CMAKE_COMMAND} -S ${QZ_SOURCE_DIR}/tests/consumer -B ${work}
  -G ${QZ_GENERATOR} -DCMAKE_BUILD_TYPE=${QZ_BUILD_TYPE}
  -DCMAKE_TOOLCHAIN_FILE=${QZ_TOOLCHAIN})
if(MODE STREQUAL "installed")
  file(REMOVE_RECURSE ${stage})
  run(${CMAKE_COMMAND} --install ${QZ_BUILD_DIR} --prefix ${stage})
  # Exactly the public headers: the private ones hold <windows.h> and test seams.
  file(GLOB_RECURSE headers RELATIVE ${stage}/include ${stage}/include/*)
  list(SORT headers)
  set(expected
    qzsvc/foundation/lists.h qzsvc/foundation/log_file.h qzsvc/foundation/process_info.h
    qzsvc/foundation/string.h
    qzsvc/foundation/sync.h qzsvc/service/event_log.h qzsvc/service/scm_manager.h
    qzsvc/service/svc_app.h qzsvc/service/svc_obj.h)
  if(NOT headers STREQUAL expected)
    message(FATAL_ERROR "installed headers: ${headers}\nexpected: ${expected}")
  endif()
  # The standard threading headers would stop every compiler without them.
  foreach(header ${headers})
    file(STRINGS ${stage}/include/${header} includes
         REGEX "#include <(mutex|condition_variable|thread)>")
    if(includes)
      message(FATAL_ERROR "${header} includes ${includes}")
    endif()
  endforeach()
  run(${configure} -DCMAKE_PREFIX_PATH=${stage})
elseif(MODE STREQUAL "subdirectory")
  run(${configure} -DQZSVC_SOURCE_DIR=${QZ_SOURCE_DIR})
elseif(MODE STREQUAL "win32-threads")
  list(REMOVE_ITEM configure -DCMAKE_BUILD_TYPE=${QZ_BUILD_TYPE})
  run(${configure} -DQZSVC_SOURCE_DIR=${QZ_SOURCE_DIR} -DQZ_MINGW_THREAD_MODEL=win32
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON)
else()
  message(FATAL_ERROR "MODE must be installed, subdirectory or win32-threads")
endif()
run(${CMAKE_COMMAND} --build ${work})
