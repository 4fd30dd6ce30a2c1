# Install rules and the qzsvc CMake package: find_package(qzsvc) gives
# qzsvc::foundation and, in Windows builds, qzsvc::service.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Headers go under include/qzsvc so that "foundation/string.h" keeps its
# folder without putting a folder named foundation next to other packages.
set(QZ_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qzsvc)
set(QZ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qzsvc)

set(QZ_PACKAGE_TARGETS qz_foundation)
install(FILES
  foundation/string.h foundation/lists.h foundation/sync.h foundation/process_info.h
  foundation/log_file.h foundation/thread_annotations.h
  DESTINATION ${QZ_INSTALL_INCLUDEDIR}/foundation)
if(TARGET qz_service)
  list(APPEND QZ_PACKAGE_TARGETS qz_service)
  install(FILES
    service/svc_app.h service/svc_obj.h service/event_log.h service/scm_manager.h
    DESTINATION ${QZ_INSTALL_INCLUDEDIR}/service)
  # The toolchain files of the package's pointer width go beside the helper,
  # so that a consumer needs nothing from the source tree.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QZ_PACKAGE_TOOLCHAINS mingw-i686.cmake clang-i686-mingw.cmake)
  else()
    set(QZ_PACKAGE_TOOLCHAINS mingw-x86_64.cmake)
  endif()
  list(TRANSFORM QZ_PACKAGE_TOOLCHAINS PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/qzsvc_add_service.cmake ${QZ_PACKAGE_TOOLCHAINS}
    DESTINATION ${QZ_INSTALL_CMAKEDIR})
endif()

install(TARGETS ${QZ_PACKAGE_TARGETS} EXPORT qzsvcTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${QZ_INSTALL_INCLUDEDIR})
install(EXPORT qzsvcTargets NAMESPACE qzsvc:: DESTINATION ${QZ_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qzsvcConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfig.cmake
  INSTALL_DESTINATION ${QZ_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may break the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake.in
  COMPATIBILITY SameMinorVersion)
file(READ ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake.in QZ_VERSION_CHECK)
if(TARGET qz_service)
  # find_package shows the version of each package it refused: for a build
  # without the Windows toolchain, that text names the file to pass.
  list(GET QZ_PACKAGE_TOOLCHAINS 0 QZ_TOOLCHAIN_NAME)
  get_filename_component(QZ_TOOLCHAIN_NAME ${QZ_TOOLCHAIN_NAME} NAME)
  string(APPEND QZ_VERSION_CHECK "
if(PACKAGE_VERSION_UNSUITABLE AND NOT CMAKE_SYSTEM_NAME STREQUAL \"Windows\")
  string(APPEND PACKAGE_VERSION \", a Windows package: configure with \"
    \"-DCMAKE_TOOLCHAIN_FILE=\${CMAKE_CURRENT_LIST_DIR}/${QZ_TOOLCHAIN_NAME}\")
endif()
")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake.new "${QZ_VERSION_CHECK}")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake.new
  ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake COPYONLY)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake
  DESTINATION ${QZ_INSTALL_CMAKEDIR})
