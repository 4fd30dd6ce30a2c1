# Builds the consumer project with the toolchain of a framework build tree:
# against the package installed from that tree, with the toolchain file the
# package installed and a copy of the project, so that nothing comes from the
# source tree (MODE=installed); against the source tree (MODE=subdirectory),
# or against the source tree as the smallest build: the compiler of the win32
# thread model, optimised for size and at link time (MODE=win32-threads). Run
# with cmake -P; needs QZ_BUILD_DIR, QZ_SOURCE_DIR, QZ_TOOLCHAIN,
# QZ_GENERATOR, QZ_BUILD_TYPE and MODE.
set(work ${QZ_BUILD_DIR}/consumer/${MODE})
set(stage ${QZ_BUILD_DIR}/consumer/stage)
file(REMOVE_RECURSE ${work})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}")
  endif()
endfunction()

set(project ${QZ_SOURCE_DIR}/tests/consumer)
set(toolchain ${QZ_TOOLCHAIN})
if(MODE STREQUAL "installed")
  # The package carries the toolchain file this tree was built with, and the
  # project is built from a copy.
  get_filename_component(toolchain ${QZ_TOOLCHAIN} NAME)
  set(toolchain ${stage}/lib/cmake/qzsvc/${toolchain})
  set(project ${QZ_BUILD_DIR}/consumer/project)
  file(REMOVE_RECURSE ${project})
  file(COPY ${QZ_SOURCE_DIR}/tests/consumer/CMakeLists.txt ${QZ_SOURCE_DIR}/tests/consumer/main.cpp
       DESTINATION ${project})
endif()
set(configure ${CMAKE_COMMAND} -S ${project} -B ${work}
  -G ${QZ_GENERATOR} -DCMAKE_BUILD_TYPE=${QZ_BUILD_TYPE}
  -DCMAKE_TOOLCHAIN_FILE=${toolchain})
if(MODE STREQUAL "installed")
  file(REMOVE_RECURSE ${stage})
  run(${CMAKE_COMMAND} --install ${QZ_BUILD_DIR} --prefix ${stage})
  # Exactly the public headers: the private ones hold <windows.h> and test seams.
  file(GLOB_RECURSE headers RELATIVE ${stage}/include ${stage}/include/*)
  list(SORT headers)
  set(expected
    qzsvc/foundation/lists.h qzsvc/foundation/log_file.h qzsvc/foundation/process_info.h
    qzsvc/foundation/string.h qzsvc/foundation/sync.h qzsvc/foundation/thread_annotations.h
    qzsvc/service/event_log.h qzsvc/service/scm_manager.h
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
  if(NOT EXISTS ${toolchain})
    message(FATAL_ERROR "the package has no ${toolchain}")
  endif()
  # Configured without it, the project is told to pass it: by find_package,
  # which refuses a package of another pointer width, or by the helper.
  set(native ${QZ_BUILD_DIR}/consumer/no-toolchain)
  file(REMOVE_RECURSE ${native})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${project} -B ${native} -G ${QZ_GENERATOR}
                          -DCMAKE_PREFIX_PATH=${stage}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  file(REMOVE_RECURSE ${native})
  string(REGEX REPLACE "[ \n]+" " " out "${out}")
  string(REGEX MATCH "-DCMAKE_TOOLCHAIN_FILE=([^ ]+)" named "${out}")
  get_filename_component(named_dir "${CMAKE_MATCH_1}" DIRECTORY)
  get_filename_component(toolchain_dir ${toolchain} DIRECTORY)
  if(rc EQUAL 0 OR NOT named_dir STREQUAL toolchain_dir OR NOT EXISTS "${CMAKE_MATCH_1}")
    message(FATAL_ERROR "configured without a toolchain (${rc}), the project is not "
                        "told to pass a toolchain file of the package:\n${out}")
  endif()
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

if(MODE STREQUAL "installed")
  # No path into the source tree in the cache, the build rules or, with
  # Ninja, the headers each object was compiled from. The build tree may lie
  # inside the source tree, so its own paths are taken out first.
  set(texts "")
  foreach(name CMakeCache.txt build.ninja Makefile)
    if(EXISTS ${work}/${name})
      file(READ ${work}/${name} text)
      string(APPEND texts "${text}")
    endif()
  endforeach()
  if(QZ_GENERATOR STREQUAL "Ninja")
    file(STRINGS ${work}/CMakeCache.txt make REGEX "^CMAKE_MAKE_PROGRAM:")
    string(REGEX REPLACE "^[^=]*=" "" make "${make}")
    execute_process(COMMAND ${make} -C ${work} -t deps OUTPUT_VARIABLE deps RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR NOT deps MATCHES "consumer_service_info\\.h")
      message(FATAL_ERROR "the generated header is not among the dependencies that "
                          "${make} -t deps lists (${rc})")
    endif()
    string(APPEND texts "${deps}")
  endif()
  string(REPLACE "${QZ_BUILD_DIR}" "" texts "${texts}")
  string(FIND "${texts}" "${QZ_SOURCE_DIR}" at)
  if(NOT at EQUAL -1)
    math(EXPR from "${at} - 60")
    if(from LESS 0)
      set(from 0)
    endif()
    string(SUBSTRING "${texts}" ${from} 200 context)
    message(FATAL_ERROR "the consumer's build refers to the source tree: ...${context}...")
  endif()
else()
  # Added with add_subdirectory, the framework builds its libraries only: of
  # all programs, the consumer's service alone.
  file(GLOB_RECURSE programs RELATIVE ${work} ${work}/*.exe)
  list(FILTER programs EXCLUDE REGEX "(^|/)CMakeFiles/")
  if(NOT programs STREQUAL "consumer.exe")
    message(FATAL_ERROR "programs built: ${programs}; expected consumer.exe alone")
  endif()
endif()
